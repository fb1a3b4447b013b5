#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace ebbcast::test {

// Folders and files by id, as a fake storage service keeps them across the requests of one test. The root
// folder is "root"; items added get "id1", "id2", ... in order; names need not be unique within a folder.
class InMemoryFileTree {
public:
    struct Item {
        QString id;
        QString parent; // empty for the root
        QString name;
        bool folder = false;
        QByteArray content;
    };

    InMemoryFileTree();

    // The new item's id; nothing when the parent is not a folder of the tree.
    std::optional<QString> add(const QString& parent, const QString& name, bool folder,
                               const QByteArray& content = {});
    const Item* item(const QString& id) const;
    Item* item(const QString& id);
    // A folder's items in the order they were added; only those with this name when one is given.
    QList<const Item*> children(const QString& parent, const QString& name = {}) const;
    // Removes the item and everything under it; false for the root or an unknown id.
    bool remove(const QString& id);
    // The names from the root down, "root/Recordings/notes.txt"; empty for an unknown id.
    QString pathOf(const QString& id) const;

private:
    QList<Item> items_; // in the order they were added; the root first
    int nextId_ = 1;
};

} // namespace ebbcast::test
