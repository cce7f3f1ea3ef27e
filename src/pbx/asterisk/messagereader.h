#pragma once

#include "pbx/asterisk/message.h"

#include <QByteArray>

#include <optional>

namespace Orvix::PBX::Asterisk {

// Cuts the received AMI byte stream into frames: a frame ends at the first empty line (CR LF CR LF).
// The greeting line has no empty line after it, so it becomes the first line of the first frame,
// where the parser ignores it. Bytes of an unfinished frame wait for the next append.
class MessageReader
{
public:
    void append(const QByteArray &bytes);
    // The next complete frame, parsed; nothing while the buffered bytes hold no empty line.
    std::optional<Message> next();
    // The next complete frame as raw bytes (up to and including its empty line).
    std::optional<QByteArray> nextFrame();
    int bufferedSize() const { return m_buffer.size() - m_pos; }
    void clear();

private:
    QByteArray m_buffer;
    // Start of the unread bytes; frames are not removed one by one, which would copy the rest
    // of a large buffer for every frame.
    int m_pos = 0;
};

} // namespace Orvix::PBX::Asterisk
