#include "pipe_transfers.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

struct pipe_ends {
  int read_fd = -1;
  int write_fd = -1;
};

bool open_pipe(pipe_ends& ends) {
  int fds[2];
  if (pipe(fds) != 0) {
    std::perror("ipc_processes_bench: pipe");
    return false;
  }
  ends = pipe_ends{fds[0], fds[1]};
  return true;
}

void close_pipe(const pipe_ends& ends) {
  if (ends.read_fd >= 0) close(ends.read_fd);
  if (ends.write_fd >= 0) close(ends.write_fd);
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// False at an error or at the end of the data before `size` bytes came.
bool read_all(int fd, char* data, size_t size) {
  while (size > 0) {
    const ssize_t got = read(fd, data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

int stream_reader(const pipe_ends& data, const pipe_ends& done, uint64_t count, size_t size) {
  close(data.write_fd);
  close(done.read_fd);
  std::vector<char> message(size);
  for (uint64_t i = 0; i < count; ++i) {
    if (!read_all(data.read_fd, message.data(), size)) return 1;
  }
  const char reply = 'd';
  return write_all(done.write_fd, &reply, 1) ? 0 : 1;
}

int stream_writer(const pipe_ends& data, const pipe_ends& done, uint64_t count, size_t size) {
  close(data.read_fd);
  close(done.write_fd);
  const std::vector<char> message(size, 'x');
  for (uint64_t i = 0; i < count; ++i) {
    if (!write_all(data.write_fd, message.data(), size)) return 1;
  }
  char reply = 0;
  return read_all(done.read_fd, &reply, 1) ? 0 : 1;
}

int pong(const pipe_ends& inbox, const pipe_ends& back, size_t size) {
  close(inbox.write_fd);
  close(back.read_fd);
  std::vector<char> message(size);
  while (read_all(inbox.read_fd, message.data(), size)) {
    if (!write_all(back.write_fd, message.data(), size)) return 1;
  }
  return 0;  // ping closed its pipe
}

int ping(const pipe_ends& out, const pipe_ends& back, uint64_t count, size_t size) {
  close(out.read_fd);
  close(back.write_fd);
  const std::vector<char> message(size, 'x');
  std::vector<char> reply(size);
  for (uint64_t i = 0; i < count; ++i) {
    if (!write_all(out.write_fd, message.data(), size) || !read_all(back.read_fd, reply.data(), size)) return 1;
  }
  return 0;
}

}  // namespace

bool start_pipe_stream(process_group& group, uint64_t count, size_t size) {
  pipe_ends data;
  pipe_ends done;
  bool started = open_pipe(data) && open_pipe(done);
  started = started && group.fork_run([&] { return stream_reader(data, done, count, size); });
  started = started && group.fork_run([&] { return stream_writer(data, done, count, size); });
  close_pipe(data);
  close_pipe(done);
  return started;
}

bool start_pipe_ping_pong(process_group& group, uint64_t count, size_t size) {
  pipe_ends out;
  pipe_ends back;
  bool started = open_pipe(out) && open_pipe(back);
  started = started && group.fork_run([&] { return pong(out, back, size); });
  started = started && group.fork_run([&] { return ping(out, back, count, size); });
  close_pipe(out);
  close_pipe(back);
  return started;
}
