#pragma once

#include <QString>

namespace Orvix::Config {

// The folder that recordings are looked up in, served from and uploaded from: Asterisk.recordings_dir, or,
// when that is empty, the "monitor" folder of Asterisk's spool, where MixMonitor and Monitor write by default.
// asterisk.conf may move the spool (astspooldir in [directories]); it is read below the directory that
// CALVENA_ASTERISK_CONFIG_ROOT names, the file system root by default. Main thread.
QString recordingsDirectory();
QString asteriskMonitorDirectory();

} // namespace Orvix::Config
