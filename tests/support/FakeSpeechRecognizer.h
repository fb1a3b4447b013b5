#pragma once

#include "gateway/SpeechRecognizer.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ebbcast::test {

// What the fake recognizers of one test do and what they saw; shared by the test and every fake (one per
// worker thread), so all its members may be called from any thread.
class FakeRecognitionScript {
public:
    using TextFor = std::function<QString(const std::vector<qint16>&)>;

    // A text that names the audio, so that each transcript can be traced to its own recording.
    static QString describe(const std::vector<qint16>& samples)
    {
        qint64 sum = 0;
        for (const qint16 sample : samples)
            sum += sample;
        return QStringLiteral("samples %1 first %2 sum %3")
            .arg(samples.size())
            .arg(samples.empty() ? 0 : samples.front())
            .arg(sum);
    }

    // Every recording gives `text` (by default: describe()).
    void say(const QString& text)
    {
        sayFor([text](const std::vector<qint16>&) { return text; });
    }
    void sayFor(TextFor textFor)
    {
        const std::lock_guard lock(mutex_);
        textFor_ = std::move(textFor);
    }
    // Every recording fails with RecognitionError(description); std::nullopt recognises again.
    void fail(std::optional<QString> description)
    {
        const std::lock_guard lock(mutex_);
        failure_ = std::move(description);
    }

    // From now on every recognition waits, once started, until release() (or its `cancelled`, which ends it
    // with RecognitionCancelled): a test can look at a worker in the middle of a job.
    void hold()
    {
        const std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release()
    {
        {
            const std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }

    // Waits until `count` recognitions in all have started; false when `timeout` passed first.
    bool waitForStarted(int count, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return started_ >= count; });
    }

    int started() const
    {
        const std::lock_guard lock(mutex_);
        return started_;
    }
    int finished() const
    {
        const std::lock_guard lock(mutex_);
        return finished_;
    }
    int cancelled() const
    {
        const std::lock_guard lock(mutex_);
        return cancelled_;
    }

    // One recognition, as FakeSpeechRecognizer::recognize.
    Recognition recognize(const std::vector<qint16>& samples, const std::function<bool()>& cancelled)
    {
        std::unique_lock lock(mutex_);
        ++started_;
        changed_.notify_all();
        // `cancelled` belongs to the caller and cannot wake this wait: it is asked every few milliseconds.
        while (held_ && !(cancelled && cancelled()))
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        if (cancelled && cancelled()) {
            ++cancelled_;
            changed_.notify_all();
            throw RecognitionCancelled();
        }
        ++finished_;
        changed_.notify_all();
        const std::optional<QString> failure = failure_;
        const TextFor textFor = textFor_;
        lock.unlock();
        if (failure)
            throw RecognitionError(failure->toStdString());
        const QString text = textFor ? textFor(samples) : describe(samples);
        const double seconds = static_cast<double>(samples.size()) / 16000.0;
        return {text, {{text, 0.0, seconds}}};
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    TextFor textFor_;
    std::optional<QString> failure_;
    bool held_ = false;
    int started_ = 0;
    int finished_ = 0;
    int cancelled_ = 0;
};

// A recognizer that does what its script says.
class FakeSpeechRecognizer final : public SpeechRecognizer {
public:
    explicit FakeSpeechRecognizer(
        std::shared_ptr<FakeRecognitionScript> script = std::make_shared<FakeRecognitionScript>())
        : script_(std::move(script))
    {}

    // `count` fakes that share `script`, one per worker.
    static std::vector<std::unique_ptr<SpeechRecognizer>>
    several(const std::shared_ptr<FakeRecognitionScript>& script, int count)
    {
        std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
        for (int i = 0; i < count; ++i)
            recognizers.push_back(std::make_unique<FakeSpeechRecognizer>(script));
        return recognizers;
    }

    QString name() const override { return QStringLiteral("fake"); }
    QString version() const override { return QStringLiteral("1"); }
    Recognition recognize(const std::vector<qint16>& samples, const std::function<bool()>& cancelled) override
    {
        return script_->recognize(samples, cancelled);
    }

    FakeRecognitionScript& script() { return *script_; }

private:
    std::shared_ptr<FakeRecognitionScript> script_;
};

} // namespace ebbcast::test
