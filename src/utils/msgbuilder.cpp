#include "utils/msgbuilder.h"

#include <QtGlobal>

#include <array>

namespace Orvix::Utils {

namespace {

constexpr std::array<const char *, 8> kTaskNames{
    "",
    "Call started",
    "Conversation requested",
    "Conversation accepted",
    "Conversation ended",
    "Call ended",
    "Call transferred",
    "Subscribe to event",
};

constexpr std::array<const char *, 31> kChildTaskNames{
    "",
    "Entity add",
    "Entity list",
    "Entity search",
    "User search",
    "Call start register",
    "Conversation start register",
    "Lead comment add",
    "Lead update from 2Gis",
    "Lead update",
    "Lead delete",
    "Contact update",
    "Contact delete",
    "Deal update",
    "Deal delete",
    "Activity delete",
    "Activity list",
    "Activity update",
    "Call end register",
    "Conversation end register",
    "Recording attach",
    "Call card show",
    "Call card hide",
    "Phone customization",
    "Originate params customization",
    "Record file path customization",
    "Search params customization",
    "Final params customization",
    "Was transferred?",
    "Was lead created?",
    "Was contact created?",
};

constexpr std::array<const char *, 8> kTaskStatuses{
    "Start", "Completed", "Not completed", "OK", "Error", "Warning", "Y", "N",
};

template <std::size_t N>
QString lookUp(const std::array<const char *, N> &texts, int value, const char *unknownWarning)
{
    if (value < 0 || static_cast<std::size_t>(value) >= N) {
        qWarning("%s", unknownWarning);
        return QString();
    }
    return QString::fromLatin1(texts[static_cast<std::size_t>(value)]);
}

} // namespace

MsgBuilder::MsgBuilder(const QString &id, TaskName task, ChildTaskName childTask)
    : m_id(id)
    , m_task(task)
    , m_childTask(childTask)
{
}

void MsgBuilder::setChildTask(ChildTaskName childTask)
{
    m_childTask = childTask;
}

QString MsgBuilder::taskText() const
{
    return taskNameText(static_cast<TaskName>(m_task));
}

QString MsgBuilder::build(TaskStatus status, const QString &message) const
{
    const QString statusText = taskStatusText(status);
    const QString childText = childTaskNameText(static_cast<ChildTaskName>(m_childTask));
    const QString task = taskText();
    // The multi-argument arg() fills every placeholder in one pass, so a "%1" inside the id or the
    // message is kept as it stands.
    if (m_id.isEmpty())
        return QStringLiteral("\t%1\t%2\t%3\t%4").arg(task, childText, statusText, message);
    return QStringLiteral("[%1]\t%2\t%3\t%4\t%5").arg(m_id, task, childText, statusText, message);
}

QString MsgBuilder::taskNameText(TaskName task)
{
    return lookUp(kTaskNames, task, "TaskName unknown case");
}

QString MsgBuilder::childTaskNameText(ChildTaskName childTask)
{
    return lookUp(kChildTaskNames, childTask, "ChildTaskName unknown case");
}

QString MsgBuilder::taskStatusText(TaskStatus status)
{
    return lookUp(kTaskStatuses, status, "TaskStatus unknown case");
}

} // namespace Orvix::Utils
