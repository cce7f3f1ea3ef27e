#pragma once

#include <QString>

namespace Orvix::Config {

// Where the service keeps the files it writes for itself (state.json, token.json, the saved registrations):
// "generated" plus a postfix, beside the executable whatever the working directory, so that a service started
// from elsewhere finds what it saved. Reads the configuration; main thread.
class GeneratedDirectory
{
public:
    // With postfix().
    static QString path();
    // The App setting generated_postfix, or the one it had at hold(): the lock, the saved state and the
    // token stay in one directory until the service is started again.
    static QString postfix();
    // Fixes postfix() for the life of the process; the start calls it before it takes the lock.
    static void hold();
    // An empty baseDirectory means the executable's directory.
    static QString path(const QString &postfix, const QString &baseDirectory = QString());

    // The secret that the service puts into the handler addresses it binds for the portal's events (the
    // query parameter kEventKeyParameter) and that every event must carry: 32 random bytes in hex, kept
    // in "event_key" in the generated directory (owner only) and made at its first use. Empty when it
    // can be neither read nor written: then no event is taken.
    static QString eventKey();
    static inline const QString kEventKeyParameter = QStringLiteral("key");

    // The secret with which the service signs the recording links it writes into the portal's activities:
    // made and kept like the event key, in "recording_key". Empty when it can be neither read nor written.
    static QString recordingKey();
    // The signature of a recording link (the query parameter kSignatureParameter): a keyed hash of the
    // call id and the two numbers as the link carries them, 32 hex digits. Empty without a key.
    static QString recordingSignature(const QString &callId, const QString &from, const QString &to);
    static inline const QString kSignatureParameter = QStringLiteral("sig");
};

} // namespace Orvix::Config
