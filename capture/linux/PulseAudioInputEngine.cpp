#include "capture/linux/PulseAudioInputEngine.h"

#include "capture/AudioDeviceError.h"

#include <pulse/def.h>

#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {

PulseAudioInputEngine::PulseAudioInputEngine(std::chrono::milliseconds fragment)
    : fragment_(fragment)
{
    // Any source going away is worth a check: the restart that follows is cheap and harmless.
    connection_.setEventHandler([this](PulseAudioConnection::Event event, std::uint32_t) {
        using Event = PulseAudioConnection::Event;
        if (event == Event::defaultSourceChanged || event == Event::connectionLost ||
            event == Event::sourceRemoved)
            notifyConfigurationChange();
    });
}

PulseAudioInputEngine::~PulseAudioInputEngine()
{
    connection_.setEventHandler({});
    stream_.reset();
}

AudioInputFormat PulseAudioInputEngine::inputFormat()
{
    const PulseAudioConnection::Source source = connection_.defaultSource();
    return AudioInputFormat{static_cast<double>(source.sampleRate), source.channelCount,
                            AudioInputFormat::float32CommonFormat, true};
}

void PulseAudioInputEngine::installTap(std::uint32_t bufferSize, const AudioInputFormat& format,
                                       TapBlock block)
{
    PulseAudioConnection::Lock lock(connection_);
    tapBufferFrames_ = bufferSize;
    tapFormat_ = format;
    tap_ = std::move(block);
}

void PulseAudioInputEngine::removeTap()
{
    PulseAudioConnection::Lock lock(connection_);
    tap_ = nullptr;
}

void PulseAudioInputEngine::prepare()
{
    connection_.connect();
}

void PulseAudioInputEngine::start()
{
    std::uint32_t rate = 0;
    int channels = 0;
    std::uint32_t frames = 0;
    {
        PulseAudioConnection::Lock lock(connection_);
        rate = static_cast<std::uint32_t>(std::lround(tapFormat_.sampleRate));
        channels = tapFormat_.channelCount;
        frames = tapBufferFrames_;
    }
    stream_.reset();
    auto stream = std::make_unique<PulseAudioRecordStream>(
        connection_, u"Ebbcast microphone"_s, PulseAudioRecordStream::SampleFormat::float32, rate, channels,
        frames, static_cast<std::uint32_t>(rate * fragment_.count() / 1000));
    // The tap keeps the format it was installed with; the server converts if the default source changes.
    stream->start(
        QString(),
        [this, channels](const void* samples, std::uint32_t frameCount) {
            if (tap_)
                tap_(AudioInputBuffer{static_cast<const float*>(samples), frameCount, channels});
        },
        [this] { notifyConfigurationChange(); });
    stream_ = std::move(stream);
}

void PulseAudioInputEngine::stop()
{
    stream_.reset();
}

void PulseAudioInputEngine::setConfigurationChangeHandler(std::function<void()> handler)
{
    PulseAudioConnection::Lock lock(connection_);
    configurationChanged_ = std::move(handler);
}

void PulseAudioInputEngine::notifyConfigurationChange()
{
    // On the PulseAudio thread with the loop locked.
    if (configurationChanged_)
        configurationChanged_();
}

} // namespace ebbcast
