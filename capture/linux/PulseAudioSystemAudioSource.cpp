#include "capture/linux/PulseAudioSystemAudioSource.h"

#include "core/base/EbbcastError.h"
#include "core/base/WallClock.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
PulseAudioSystemAudioSource::PulseAudioSystemAudioSource()
{
    connection_.setEventHandler([this](PulseAudioConnection::Event event, std::uint32_t) {
        if (event == PulseAudioConnection::Event::defaultSinkChanged)
            reconnectQueue_.async([this] { reconnect(); });
    });
}

PulseAudioSystemAudioSource::~PulseAudioSystemAudioSource()
{
    stop();
    connection_.setEventHandler({});
    reconnectQueue_.sync();
}

void PulseAudioSystemAudioSource::start(Handler handler, FailureHandler failed)
{
    {
        const std::lock_guard lock(handlerLock_);
        handler_ = std::move(handler);
        failed_ = std::move(failed);
        running_ = true;
    }
    try {
        connectStream();
    } catch (...) {
        const std::lock_guard lock(handlerLock_);
        handler_ = nullptr;
        failed_ = nullptr;
        running_ = false;
        throw;
    }
}

void PulseAudioSystemAudioSource::connectStream()
{
    const PulseAudioConnection::Source monitor = connection_.defaultSinkMonitor();
    auto stream = std::make_unique<PulseAudioRecordStream>(connection_, u"Ebbcast system audio"_s,
                                                           PulseAudioRecordStream::SampleFormat::signed16,
                                                           sampleRate, channelCount, framesPerBuffer);
    stream->start(
        monitor.name,
        [this](const void* samples, std::uint32_t frames) {
            AudioSampleBuffer buffer;
            buffer.presentationTimeSeconds = monotonicSeconds() - static_cast<double>(frames) / sampleRate;
            buffer.sampleRate = sampleRate;
            buffer.channelCount = channelCount;
            buffer.data = QByteArray(static_cast<const char*>(samples),
                                     static_cast<qsizetype>(frames) * channelCount * 2);
            const std::lock_guard lock(handlerLock_);
            if (handler_)
                handler_(buffer);
        },
        [this] { reconnectQueue_.async([this] { reconnect(); }); });
    stream_ = std::move(stream);
}

void PulseAudioSystemAudioSource::reconnect()
{
    {
        const std::lock_guard lock(handlerLock_);
        if (!running_)
            return;
    }
    stream_.reset();
    try {
        connectStream();
    } catch (const EbbcastError& error) {
        // Nothing to record from now; the next default-sink change tries again.
        const std::lock_guard lock(handlerLock_);
        if (running_ && failed_)
            failed_(error.description());
    }
}

void PulseAudioSystemAudioSource::stop()
{
    {
        const std::lock_guard lock(handlerLock_);
        running_ = false;
    }
    reconnectQueue_.sync(); // a reconnection under way has finished
    stream_.reset();
    const std::lock_guard lock(handlerLock_);
    handler_ = nullptr;
    failed_ = nullptr;
}

} // namespace ebbcast
