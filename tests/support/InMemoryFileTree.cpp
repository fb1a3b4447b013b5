#include "support/InMemoryFileTree.h"

#include <QStringList>

using namespace Qt::StringLiterals;

namespace ebbcast::test {

InMemoryFileTree::InMemoryFileTree()
{
    items_.append({u"root"_s, {}, u"root"_s, true, {}});
}

std::optional<QString> InMemoryFileTree::add(const QString& parent, const QString& name, bool folder,
                                             const QByteArray& content)
{
    const Item* container = item(parent);
    if (!container || !container->folder)
        return std::nullopt;
    const QString id = u"id%1"_s.arg(nextId_++);
    items_.append({id, parent, name, folder, folder ? QByteArray() : content});
    return id;
}

const InMemoryFileTree::Item* InMemoryFileTree::item(const QString& id) const
{
    for (const Item& candidate : items_) {
        if (candidate.id == id)
            return &candidate;
    }
    return nullptr;
}

InMemoryFileTree::Item* InMemoryFileTree::item(const QString& id)
{
    return const_cast<Item*>(std::as_const(*this).item(id));
}

QList<const InMemoryFileTree::Item*> InMemoryFileTree::children(const QString& parent,
                                                                const QString& name) const
{
    QList<const Item*> found;
    for (const Item& candidate : items_) {
        if (candidate.parent == parent && !parent.isEmpty() && (name.isEmpty() || candidate.name == name))
            found.append(&candidate);
    }
    return found;
}

bool InMemoryFileTree::remove(const QString& id)
{
    if (id == u"root"_s || !item(id))
        return false;
    // Children always come after their parent, so one pass in order finds the whole subtree.
    QStringList doomed{id};
    for (const Item& candidate : std::as_const(items_)) {
        if (doomed.contains(candidate.parent))
            doomed.append(candidate.id);
    }
    items_.removeIf([&doomed](const Item& candidate) { return doomed.contains(candidate.id); });
    return true;
}

QString InMemoryFileTree::pathOf(const QString& id) const
{
    QStringList names;
    // Every step goes to an item added earlier, so the walk ends within the tree's size.
    for (const Item* step = item(id); step; step = item(step->parent))
        names.prepend(step->name);
    return names.join(u'/');
}

} // namespace ebbcast::test
