#include "pbx/asterisk/messagereader.h"

namespace Orvix::PBX::Asterisk {

namespace {
constexpr char kFrameEnd[] = "\r\n\r\n";
constexpr int kFrameEndSize = 4;
} // namespace

void MessageReader::append(const QByteArray &bytes)
{
    if (m_pos > 0 && m_pos >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(bytes);
}

std::optional<QByteArray> MessageReader::nextFrame()
{
    const int end = m_buffer.indexOf(kFrameEnd, m_pos);
    if (end < 0)
        return std::nullopt;
    const int frameEnd = end + kFrameEndSize;
    QByteArray frame = m_buffer.mid(m_pos, frameEnd - m_pos);
    m_pos = frameEnd;
    if (m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    }
    return frame;
}

std::optional<Message> MessageReader::next()
{
    std::optional<QByteArray> frame = nextFrame();
    if (!frame)
        return std::nullopt;
    return Message(std::move(*frame));
}

void MessageReader::clear()
{
    m_buffer.clear();
    m_pos = 0;
}

} // namespace Orvix::PBX::Asterisk
