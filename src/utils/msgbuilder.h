#pragma once

#include <QString>

namespace Orvix::Utils {

// Call-trace context of one call (call id, task, child task) that formats the tab-separated trace
// lines the log reader parses back: "[id]\ttask\tchild task\tstatus\tmessage". A value type, copied
// into queued work and refined with setChildTask on the way.
class MsgBuilder
{
public:
    enum TaskName {
        NoTask = 0,
        CallStarted = 1,
        ConversationRequested = 2,
        ConversationAccepted = 3,
        ConversationEnded = 4,
        CallEnded = 5,
        CallTransferred = 6,
        SubscribeToEvent = 7,
    };

    enum ChildTaskName {
        NoChildTask = 0,
        EntityAdd = 1,
        EntityList = 2,
        EntitySearch = 3,
        UserSearch = 4,
        CallStartRegister = 5,
        ConversationStartRegister = 6,
        LeadCommentAdd = 7,
        LeadUpdateFrom2Gis = 8,
        LeadUpdate = 9,
        LeadDelete = 10,
        ContactUpdate = 11,
        ContactDelete = 12,
        DealUpdate = 13,
        DealDelete = 14,
        ActivityDelete = 15,
        ActivityList = 16,
        ActivityUpdate = 17,
        CallEndRegister = 18,
        ConversationEndRegister = 19,
        RecordingAttach = 20,
        CallCardShow = 21,
        CallCardHide = 22,
        PhoneCustomization = 23,
        OriginateParamsCustomization = 24,
        RecordFilePathCustomization = 25,
        SearchParamsCustomization = 26,
        FinalParamsCustomization = 27,
        WasTransferred = 28,
        WasLeadCreated = 29,
        WasContactCreated = 30,
    };

    enum TaskStatus {
        Start = 0,
        Completed = 1,
        NotCompleted = 2,
        Ok = 3,
        Error = 4,
        Warning = 5,
        Yes = 6,
        No = 7,
    };

    MsgBuilder() = default;
    MsgBuilder(const QString &id, TaskName task, ChildTaskName childTask);

    void setChildTask(ChildTaskName childTask);
    // The call the trace follows; empty for work of no call.
    const QString &id() const { return m_id; }
    QString taskText() const;
    QString build(TaskStatus status, const QString &message) const;

    static QString taskNameText(TaskName task);
    static QString childTaskNameText(ChildTaskName childTask);
    static QString taskStatusText(TaskStatus status);

private:
    QString m_id;
    int m_task = NoTask;
    int m_childTask = NoChildTask;
};

} // namespace Orvix::Utils
