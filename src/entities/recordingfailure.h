#pragma once

#include <QString>

namespace Orvix::Entities {

// Why the file of a call's recording was not given. A recording that is missing will not turn up
// later (no CDR row after the call's end, no file, a path refused); one that failed may: the database
// or the PBX link was away, or the question was not answered, so it is asked again later.
struct RecordingFailure
{
    enum Kind {
        Missing,
        Failed,
    };

    Kind kind = Failed;
    QString reason;

    static RecordingFailure missing(const QString &reason) { return {Missing, reason}; }
    static RecordingFailure failed(const QString &reason) { return {Failed, reason}; }
    bool isMissing() const { return kind == Missing; }
};

} // namespace Orvix::Entities
