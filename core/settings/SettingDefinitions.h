#pragma once

#include "core/settings/SettingDefinition.h"

#include <QList>
#include <QStringList>
#include <QStringView>

namespace ebbcast {

// Every user setting, declared once, in the order the command line lists them. The store loads, holds and
// writes them from this table; the command line lists, checks, masks and suggests them from it. A new setting
// is one entry here, plus its property, typed accessor and change signal in PreferencesStore.
class SettingDefinitions {
public:
    static const QList<SettingDefinition>& all();
    // The setting a key names, compared with the given case sensitivity; nothing for an unknown key.
    static const SettingDefinition* find(QStringView key,
                                         Qt::CaseSensitivity caseSensitivity = Qt::CaseSensitive);
    // The position of the setting in all(), or -1 for an unknown key.
    static qsizetype indexOf(QStringView key);
    static QStringList keys();
};

} // namespace ebbcast
