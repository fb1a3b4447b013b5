#pragma once

#include "core/base/CodedError.h"
#include "drive/SecretStore.h"

#include <QDBusMessage>
#include <QObject>

namespace QKeychain {
class Job;
}

namespace ebbcast {

// Why the Secret Service could not be used. The description keeps the keychain's status and says what is
// wrong in words: "Keychain operation failed with status 7: ... (is org.freedesktop.secrets owned?)".
enum class KeychainErrorCode {
    noSessionBus,
    noSecretService,
    lockedOrDenied, // the keyring is locked, or the service refused access
    timedOut,       // no answer within the job's limit
    other,
};

class KeychainError : public CodedError<KeychainErrorCode> {
public:
    KeychainError(Code code, int status, const QString& cause);

    int status() const noexcept { return status_; }

private:
    int status_;
};

// SecretStore on QtKeychain (the Secret Service on Linux), with no insecure fallback: when the service
// cannot be used the operation fails with KeychainError. Every job is bounded by `jobTimeoutMs`; a job
// that does not finish by then fails with KeychainErrorCode::timedOut and is deleted when it does finish
// (QtKeychain runs its jobs one after another, so a stuck job holds back the next ones).
// Main thread.
class KeychainStore : public QObject, public SecretStore {
public:
    explicit KeychainStore(int jobTimeoutMs = 10'000);

    QCoro::Task<> save(QString service, QString account, QByteArray data) override;
    QCoro::Task<std::optional<QByteArray>> load(QString service, QString account) override;
    QCoro::Task<> remove(QString service, QString account) override;

private:
    // Starts the job and waits for it. False: it did not finish in time.
    QCoro::Task<bool> run(QKeychain::Job* job);
    KeychainError failure(const QKeychain::Job& job) const;
    KeychainError timeout() const;
    // Whether the Secret Service's default collection is locked (false when that cannot be told).
    QCoro::Task<bool> defaultKeyringLocked();
    QCoro::Task<QDBusMessage> ask(QDBusMessage message);

    int jobTimeoutMs_;
};

} // namespace ebbcast
