#include "emulated/flush_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr mode_t RECORD_MODE = S_IRUSR | S_IWUSR;
// What a request leaves the flush daemon: two processes due at the same instant would
// otherwise race, and both flush.
constexpr std::int64_t DAEMON_LEAD = SECOND_NS;

}  // namespace

std::int64_t since_last_flush(const struct stat& status) {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t since = (now.tv_sec - status.st_mtim.tv_sec) * SECOND_NS + (now.tv_nsec - status.st_mtim.tv_nsec);
  return trusted(status, false, RECORD_MODE) && status.st_size == 0 && since >= 0 ? since : LONG_AGO;
}

Flush flush_when_due(int dirfd, const char* name, std::int64_t due, bool forced) {
  // A record just made tells of no flush, whatever its time.
  int record = open_state(dirfd, name, O_RDONLY, RECORD_MODE);
  const bool made = record == -ENOENT && (record = open_state(dirfd, name, O_RDONLY | O_CREAT, RECORD_MODE)) >= 0;
  const bool held = record >= 0 && flock(record, LOCK_EX | LOCK_NB) == 0;
  Flush found = Flush::MADE;
  if (record >= 0 && !held && errno == EWOULDBLOCK) found = Flush::UNDER_WAY;
  if (held && !made && since_last_flush(status_of(record)) < due) found = Flush::NOT_DUE;
  if (found == Flush::MADE || forced) {
    sync();
    // The modification time alone: a change of both times would wake a watch on the folder.
    const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    if (held) futimens(record, times);
  }
  if (record >= 0) close(record);
  return forced ? Flush::MADE : found;
}

int request_flush(const char* state_dir) {
  const int folder = open_state(AT_FDCWD, state_dir, O_RDONLY | O_DIRECTORY, STATE_FOLDER_MODE);
  if (folder < 0) {
    sync();
    return 0;
  }
  ParameterValues values;
  if (load_parameters(folder, values) != 0) set_defaults(values);
  flush_when_due(folder, FLUSH_RECORD, flush_period(values) + DAEMON_LEAD, false);
  close(folder);
  return 0;
}
