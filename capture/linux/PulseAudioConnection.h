#pragma once

#include "capture/linux/PulseAudioHandles.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace ebbcast {

// A connection to the user's sound server (PulseAudio, or PipeWire through pipewire-pulse): a threaded main
// loop and a context, connected on demand and again after the server went away.
// Threads: every member except the event handler's calls must be made with the loop unlocked, from any one
// thread at a time; the event handler and stream callbacks run on the loop's thread with the loop locked.
class PulseAudioConnection {
public:
    enum class Event { defaultSourceChanged, defaultSinkChanged, sourceRemoved, connectionLost };

    struct Source {
        QString name;
        QString description;
        std::uint32_t index = 0;
        std::uint32_t sampleRate = 0;
        int channelCount = 0;
    };

    explicit PulseAudioConnection(QString applicationName);
    ~PulseAudioConnection();

    PulseAudioConnection(const PulseAudioConnection&) = delete;
    PulseAudioConnection& operator=(const PulseAudioConnection&) = delete;

    // Connects when not connected. Throws AudioDeviceError.
    void connect();

    // A stream recording from a source.
    struct SourceOutput {
        std::uint32_t sourceIndex = 0;
        long long processID = 0; // 0 when the client does not say
        bool corked = false;
    };

    // Blocking queries; they connect first. Throw AudioDeviceError.
    Source defaultSource();
    Source defaultSinkMonitor();
    // Every source that is not the monitor of an output, in the server's order.
    std::vector<Source> inputSources();
    std::vector<SourceOutput> sourceOutputs();

    // Runs on the loop's thread with the loop locked; `index` is the removed source's for sourceRemoved.
    void setEventHandler(std::function<void(Event event, std::uint32_t index)> handler);

    pa_threaded_mainloop* mainloop() const { return mainloop_.get(); }
    pa_context* context() const { return context_.get(); }

    // Holds the loop's lock for its lifetime.
    class Lock {
    public:
        explicit Lock(PulseAudioConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* mainloop_;
    };

    // With the lock held: waits until `done` holds or the timeout passes; returns `done()`.
    bool waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // The server's description of the context's last error.
    QString lastError() const;

    static constexpr std::chrono::milliseconds operationTimeout{5000};

private:
    void disconnectLocked();
    Source sourceNamed(const QString& name);
    static void onContextState(pa_context* context, void* self);
    static void onSubscription(pa_context* context, int type, std::uint32_t index, void* self);

    QString applicationName_;
    PulseMainloop mainloop_;
    PulseContext context_;
    QString defaultSourceName_;
    QString defaultSinkName_;
    std::function<void(Event, std::uint32_t)> eventHandler_;
};

} // namespace ebbcast
