// AMI frame throughput: one large receive buffer cut into frames and parsed, as the connector does
// with what a busy socket delivers at once.

#include "pbx/asterisk/messagereader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QUuid>

#include <cstdio>

namespace {

QByteArray sampleFrames()
{
    // The shapes a real Asterisk 20 sends: short responses, long peer entries, list ends.
    const QByteArray id = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    return "Response: Success\r\nActionID: " + id + "\r\nMessage: Authentication accepted\r\n\r\n"
           "Event: PeerEntry\r\nActionID: " + id + "\r\nChanneltype: SIP\r\nObjectName: 101\r\n"
           "ChanObjectType: peer\r\nIPaddress: 127.0.0.1\r\nIPport: 5070\r\nDynamic: no\r\n"
           "AutoForcerport: yes\r\nForcerport: no\r\nAutoComedia: no\r\nComedia: no\r\nVideoSupport: no\r\n"
           "TextSupport: no\r\nACL: yes\r\nStatus: OK (1 ms)\r\nRealtimeDevice: no\r\nDescription: \r\n"
           "Accountcode: \r\n\r\n"
           "Event: PeerlistComplete\r\nActionID: " + id + "\r\nEventList: Complete\r\nListItems: 3\r\n\r\n"
           "Response: Error\r\nActionID: " + id + "\r\nMessage: Channel does not exist: SIP/101-0000ffff\r\n\r\n";
}

void run(int repeats)
{
    const QByteArray sample = sampleFrames();
    QByteArray buffer;
    buffer.reserve(sample.size() * repeats + 64);
    buffer += "Asterisk Call Manager/9.0.0\r\n";
    for (int i = 0; i < repeats; ++i)
        buffer += sample;

    QElapsedTimer timer;
    Orvix::PBX::Asterisk::MessageReader cutter;
    cutter.append(buffer);
    timer.start();
    long long cut = 0;
    while (cutter.nextFrame())
        ++cut;
    const qint64 cutNs = timer.nsecsElapsed();

    Orvix::PBX::Asterisk::MessageReader reader;
    reader.append(buffer);
    timer.restart();
    long long parsed = 0;
    long long fields = 0;
    while (std::optional<Orvix::PBX::Asterisk::Message> message = reader.next()) {
        ++parsed;
        fields += message->fields().size();
    }
    const qint64 parseNs = timer.nsecsElapsed();

    const double mb = buffer.size() / 1e6;
    std::printf("buffer %.1f MB, %lld frames (%lld fields)\n", mb, parsed, fields);
    std::printf("  cut only:      %8.0f ns/frame  %10.0f frames/s  %7.1f MB/s\n", double(cutNs) / cut,
                cut * 1e9 / cutNs, mb * 1e9 / cutNs);
    std::printf("  cut and parse: %8.0f ns/frame  %10.0f frames/s  %7.1f MB/s\n", double(parseNs) / parsed,
                parsed * 1e9 / parseNs, mb * 1e9 / parseNs);
}

} // namespace

int main()
{
    run(1000);   // warm-up
    run(50000);  // 200 000 frames
    return 0;
}
