#include "capture/linux/PulseAudioRecordStream.h"

#include "capture/AudioDeviceError.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {

PulseAudioRecordStream::PulseAudioRecordStream(PulseAudioConnection& connection, QString name,
                                               SampleFormat format, std::uint32_t sampleRate,
                                               int channelCount, std::uint32_t framesPerBuffer,
                                               std::uint32_t fragmentFrames)
    : connection_(connection)
    , name_(std::move(name))
    , format_(format)
    , sampleRate_(sampleRate)
    , channelCount_(channelCount)
    , framesPerBuffer_(framesPerBuffer)
    , fragmentFrames_(std::max(framesPerBuffer, fragmentFrames))
    , frameBytes_(static_cast<std::size_t>(channelCount) * (format == SampleFormat::float32 ? 4 : 2))
    , pending_(framesPerBuffer * frameBytes_)
{}

PulseAudioRecordStream::~PulseAudioRecordStream()
{
    stop();
}

void PulseAudioRecordStream::start(const QString& sourceName, Reader reader,
                                   std::function<void()> interrupted)
{
    connection_.connect();
    PulseAudioConnection::Lock lock(connection_);
    stopLocked();

    pa_sample_spec requested{};
    requested.format = format_ == SampleFormat::float32 ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_S16LE;
    requested.rate = sampleRate_;
    requested.channels = static_cast<std::uint8_t>(channelCount_);
    if (!pa_sample_spec_valid(&requested))
        throw AudioDeviceError::streamFailed(
            u"the audio format %1 Hz, %2 channels is not usable"_s.arg(sampleRate_).arg(channelCount_));

    stream_.reset(pa_stream_new(connection_.context(), name_.toUtf8().constData(), &requested, nullptr));
    if (!stream_)
        throw AudioDeviceError::streamFailed(connection_.lastError());
    reader_ = std::move(reader);
    pendingBytes_ = 0;
    pa_stream_set_state_callback(stream_.get(), onState, this);
    pa_stream_set_read_callback(stream_.get(), onRead, this);
    pa_stream_set_moved_callback(stream_.get(), onMoved, this);

    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(fragmentFrames_ * frameBytes_);
    const QByteArray device = sourceName.toUtf8();
    if (pa_stream_connect_record(stream_.get(), sourceName.isEmpty() ? nullptr : device.constData(),
                                 &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
        const QString reason = connection_.lastError();
        stopLocked();
        throw AudioDeviceError::streamFailed(reason);
    }
    connection_.waitLocked(
        [this] {
            const pa_stream_state_t state = pa_stream_get_state(stream_.get());
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        PulseAudioConnection::operationTimeout);
    if (pa_stream_get_state(stream_.get()) != PA_STREAM_READY) {
        const QString reason = pa_context_errno(connection_.context()) != 0
                                   ? connection_.lastError()
                                   : u"the stream did not start in time"_s;
        stopLocked();
        throw AudioDeviceError::streamFailed(reason);
    }
    interrupted_ = std::move(interrupted); // from now on an ended or moved stream is news
}

void PulseAudioRecordStream::stop()
{
    PulseAudioConnection::Lock lock(connection_);
    stopLocked();
}

void PulseAudioRecordStream::stopLocked()
{
    if (!stream_)
        return;
    pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
    pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
    pa_stream_set_moved_callback(stream_.get(), nullptr, nullptr);
    stream_.reset(); // disconnects it
    reader_ = nullptr;
    interrupted_ = nullptr;
    pendingBytes_ = 0;
}

std::uint32_t PulseAudioRecordStream::sourceIndex()
{
    PulseAudioConnection::Lock lock(connection_);
    return stream_ ? pa_stream_get_device_index(stream_.get()) : PA_INVALID_INDEX;
}

void PulseAudioRecordStream::readAvailable()
{
    while (stream_ && pa_stream_readable_size(stream_.get()) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream_.get(), &data, &bytes) < 0 || bytes == 0)
            return;
        // No data with a length is a hole in the stream: nothing to record there.
        const auto* input = static_cast<const std::uint8_t*>(data);
        for (std::size_t offset = 0; input != nullptr && offset < bytes;) {
            const std::size_t take = std::min(bytes - offset, pending_.size() - pendingBytes_);
            std::memcpy(pending_.data() + pendingBytes_, input + offset, take);
            pendingBytes_ += take;
            offset += take;
            if (pendingBytes_ == pending_.size()) {
                pendingBytes_ = 0;
                if (reader_)
                    reader_(pending_.data(), framesPerBuffer_);
            }
        }
        pa_stream_drop(stream_.get());
    }
}

void PulseAudioRecordStream::onState(pa_stream* stream, void* self)
{
    auto* owner = static_cast<PulseAudioRecordStream*>(self);
    pa_threaded_mainloop_signal(owner->connection_.mainloop(), 0);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && owner->interrupted_)
        owner->interrupted_();
}

void PulseAudioRecordStream::onRead(pa_stream*, std::size_t, void* self)
{
    static_cast<PulseAudioRecordStream*>(self)->readAvailable();
}

void PulseAudioRecordStream::onMoved(pa_stream*, void* self)
{
    auto* owner = static_cast<PulseAudioRecordStream*>(self);
    if (owner->interrupted_)
        owner->interrupted_();
}

} // namespace ebbcast
