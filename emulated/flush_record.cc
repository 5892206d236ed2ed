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

// Opens the record, making it where it is missing; a record just made tells of no flush.
int open_record(int dirfd, const char* name, bool& made) {
  const int record = open_state(dirfd, name, O_RDONLY, RECORD_MODE);
  made = record == -ENOENT;
  return made ? open_state(dirfd, name, O_RDONLY | O_CREAT, RECORD_MODE) : record;
}

// Records a flush just made in the record held; what stands in the place of one, or a
// record with something in it, goes, and a record made now tells of the flush.
void record_flush(int dirfd, const char* name, int record, bool held, const struct stat& status) {
  // The modification time alone: a change of both times would wake a watch on the folder.
  const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  if (held && status.st_size == 0) futimens(record, times);
  if ((held && status.st_size == 0) || (!held && record != -EACCES && record != -ELOOP)) return;
  remove_name(dirfd, name);
  const int made = open_state(dirfd, name, O_RDONLY | O_CREAT | O_EXCL, RECORD_MODE);
  if (made >= 0) close(made);
}

}  // namespace

std::int64_t since_last_flush(const struct stat& status) {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t since = (now.tv_sec - status.st_mtim.tv_sec) * SECOND_NS + (now.tv_nsec - status.st_mtim.tv_nsec);
  return trusted(status, false, RECORD_MODE) && status.st_size == 0 && since >= 0 ? since : LONG_AGO;
}

bool flush_when_due(int dirfd, const char* name, std::int64_t due, bool forced) {
  bool made = false;
  const int record = open_record(dirfd, name, made);
  const bool held = record >= 0 && flock(record, LOCK_EX | LOCK_NB) == 0;
  // Whoever holds the record is flushing.
  const bool busy = record >= 0 && !held && errno == EWOULDBLOCK;
  const struct stat status = status_of(record);
  const bool flushes = forced || (!busy && (!held || made || since_last_flush(status) >= due));
  if (flushes) {
    sync();
    record_flush(dirfd, name, record, held, status);
  }
  if (record >= 0) close(record);
  return flushes;
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
