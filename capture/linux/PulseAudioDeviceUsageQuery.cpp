#include "capture/linux/PulseAudioDeviceUsageQuery.h"

#include "core/base/EbbcastError.h"

#include <unistd.h>

namespace ebbcast {

PulseAudioDeviceUsageQuery::PulseAudioDeviceUsageQuery()
    : ownProcessID_(::getpid())
{}

DeviceUsageQuery::Usage PulseAudioDeviceUsageQuery::query()
{
    Usage usage;
    try {
        const std::vector<PulseAudioConnection::Source> sources = connection_.inputSources();
        const std::vector<PulseAudioConnection::SourceOutput> outputs = connection_.sourceOutputs();
        for (const PulseAudioConnection::Source& source : sources) {
            for (const PulseAudioConnection::SourceOutput& output : outputs) {
                if (output.sourceIndex == source.index && !output.corked &&
                    output.processID != ownProcessID_) {
                    usage.deviceNames.append(source.description.isEmpty() ? QStringLiteral("Unknown input")
                                                                          : source.description);
                    break;
                }
            }
        }
    } catch (const EbbcastError&) {
        return {}; // no server: nothing is in use
    }
    usage.inUse = !usage.deviceNames.isEmpty();
    return usage;
}

} // namespace ebbcast
