#include "app/PreferencesSources.h"

#include "capture/AudioDeviceError.h"
#include "capture/ScreenFrameSource.h"
#include "capture/linux/PulseAudioConnection.h"
#include "drive/GoogleDriveError.h"
#include "drive/UploadRules.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

PreferencesSources systemPreferencesSources(ScreenFrameSource& screens)
{
    PreferencesSources sources;
    sources.displays = [&screens] {
        return screens.displays();
    };
    sources.audioInputNames = [] {
        return soundServerInputNames();
    };
    sources.driveFolderID = [](const QString& text) -> std::optional<QString> {
        try {
            return UploadRules::folderID(text);
        } catch (const GoogleDriveError&) {
            return std::nullopt;
        }
    };
    return sources;
}

QStringList soundServerInputNames()
{
    QStringList names;
    try {
        PulseAudioConnection connection(u"Ebbcast"_s);
        for (const PulseAudioConnection::Source& source : connection.inputSources())
            names.append(source.description.isEmpty() ? source.name : source.description);
    } catch (const AudioDeviceError&) {
        return {};
    }
    names.removeDuplicates();
    return names;
}

} // namespace ebbcast
