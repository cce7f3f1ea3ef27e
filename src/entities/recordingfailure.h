#pragma once

#include <QString>

namespace Orvix::Entities {

// Why the file of a call's recording was not given. A recording that is missing will not turn up
// later (no CDR row after the call's end, no file, a path refused); one that failed may: the database
// or the PBX link was away, or the question was not answered, so it is asked again later. An unreachable one
// is a failed one whose database cannot be reached at the moment of asking: a client of the public route is
// answered at once rather than held, while the service's own look-ups ask again later as for any failure.
struct RecordingFailure
{
    enum Kind {
        Missing,
        Failed,
        Unreachable,
    };

    Kind kind = Failed;
    QString reason;

    static RecordingFailure missing(const QString &reason) { return {Missing, reason}; }
    static RecordingFailure failed(const QString &reason) { return {Failed, reason}; }
    static RecordingFailure unreachable(const QString &reason) { return {Unreachable, reason}; }
    bool isMissing() const { return kind == Missing; }
    bool isUnreachable() const { return kind == Unreachable; }
};

} // namespace Orvix::Entities
