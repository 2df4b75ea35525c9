#pragma once

#include <QMetaType>
#include <QString>

namespace dravelin {

// Why a step of the download failed, and whether trying it again could help.
struct DownloadFailure {
    enum class Kind {
        // No failure.
        none,
        // The network or the hub may well behave next time: a dropped or
        // refused connection, a stall, HTTP 5xx or 429. Retried after a pause.
        transient,
        // The hub's answer will not change by asking again: 404, a refusal, a
        // file that arrived damaged, an unreadable listing.
        lasting,
        // This computer's folders or disk; the network is not to blame.
        local,
        // The disk is full. `message` says so; the procedure adds how much
        // space the model needs.
        diskFull,
    };

    Kind kind = Kind::none;
    QString message;

    static DownloadFailure transient(QString message) { return {Kind::transient, message}; }
    static DownloadFailure lasting(QString message) { return {Kind::lasting, message}; }
    static DownloadFailure local(QString message) { return {Kind::local, message}; }

    bool failed() const { return kind != Kind::none; }
    bool isLocal() const { return kind == Kind::local || kind == Kind::diskFull; }
};

} // namespace dravelin

Q_DECLARE_METATYPE(dravelin::DownloadFailure)
