// A fake coding agent: replays a scenario and records how it was started.
//
// It stands in for `codex`, `claude` and `grok` in tests, examples and benchmarks.
// Its arguments are ignored (only recorded); it is steered by the environment:
//
//   VANTREL_FAKE_SCRIPT    the scenario text itself (one directive per line)
//   VANTREL_FAKE_SCENARIO  a file holding the scenario (used when the script is unset)
//   VANTREL_FAKE_RECORD    a file to write the record to; "%p" in it becomes the pid
//
// Scenario directives, one per line ("#" lines and blank lines are ignored). TEXT takes the
// escapes \n \r \t \\ and \xHH, so any byte can be written:
//
//   out TEXT        write TEXT and a newline to stdout
//   raw TEXT        write TEXT to stdout, no newline added
//   err TEXT        write TEXT and a newline to stderr
//   errraw TEXT     write TEXT to stderr, no newline added
//   cat PATH        copy the file at PATH to stdout
//   repeat N TEXT   write TEXT and a newline to stdout N times
//   errfill N       write N bytes ('a'..'z' cycling) to stderr
//   stamped N MS    write N codex turn.started lines, MS milliseconds apart, each carrying the
//                   wall-clock nanoseconds of its write as "sent_ns" (for latency measurements)
//   stdin           read stdin to its end (recorded as "stdin")
//   readline        read one line of stdin, up to "\n" (recorded as "readline"; "readline-eof"
//                   when stdin ended first, with the bytes of an unfinished line)
//   sleep MS        sleep MS milliseconds
//   linger MS [TEXT]  leave a process behind that holds only stderr open for MS milliseconds,
//                   then writes TEXT and a newline to it (when given)
//   hold MS [apart] [stdin]
//                   leave a process behind that holds stdout and stderr open for MS
//                   milliseconds; "apart" puts it in a session of its own, out of the reach of
//                   a kill of the agent's process group; "stdin" makes it hold only stdin,
//                   never reading it
//   await PATH      wait until a file exists at PATH (a test's signal to go on)
//   touch PATH      create an empty file at PATH (the agent's signal that it got this far)
//   close-stdout    close stdout and go on running
//   close-stdin     close stdin without reading it
//   signal NAME     kill itself with a signal: KILL, TERM, SEGV, ABRT, INT or a number
//   signal-parent NAME  send that signal to its parent (a launcher killed from outside) and
//                   go on
//   exit CODE       exit with CODE at once (the default at the end is 0)
//
// The record is a line file, written as the agent goes, values escaped as above:
//
//   start NS        wall-clock nanoseconds at start
//   pid N           its process id
//   arg TEXT        one line per argument, argv[0] first
//   cwd TEXT        the working directory
//   env NAME=VALUE  one line per environment variable
//   sigpipe ignored|default   the disposition it inherited for SIGPIPE
//   ignored N N ... the signals it inherited ignored, by number (empty for none)
//   blocked N N ... the signals it inherited blocked
//   pgid N          its process group
//   ppid N          its parent's process id
//   stdin TEXT      the bytes read by the "stdin" directive
//   readline TEXT   the line read by a "readline" directive, without its "\n"
//   linger N        the process id of the process a "linger" directive left behind
//   hold N          the process id of the process a "hold" directive left behind, written by
//                   that process once it is in place
//   end NS          wall-clock nanoseconds when the scenario ended (missing if killed)
#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

std::string unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      out += c;
      continue;
    }
    char e = text[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x':
        if (i + 2 < text.size()) {
          out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
          i += 2;
        }
        break;
      default: out += '\\'; out += e;
    }
  }
  return out;
}

std::string escape(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20 || c >= 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else
      out += static_cast<char>(c);
  }
  return out;
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      std::exit(3);  // the reader went away: nothing left to do
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

long long now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Appends lines to the record file; every line goes out at once so a killed agent leaves
// what it had recorded.
class Record {
 public:
  explicit Record(const char* path_template) {
    if (path_template == nullptr || *path_template == '\0') return;
    std::string path = path_template;
    if (auto at = path.find("%p"); at != std::string::npos)
      path.replace(at, 2, std::to_string(getpid()));
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  void line(std::string_view key, std::string_view value) {
    if (fd_ < 0) return;
    std::string text(key);
    text += ' ';
    text += value;
    text += '\n';
    write_all(fd_, text);
  }

 private:
  int fd_ = -1;
};

int signal_number(const std::string& name) {
  if (name == "KILL") return SIGKILL;
  if (name == "TERM") return SIGTERM;
  if (name == "SEGV") return SIGSEGV;
  if (name == "ABRT") return SIGABRT;
  if (name == "INT") return SIGINT;
  return std::atoi(name.c_str());
}

std::string load_scenario() {
  if (const char* script = std::getenv("VANTREL_FAKE_SCRIPT")) return script;
  if (const char* path = std::getenv("VANTREL_FAKE_SCENARIO")) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::cerr << "fake_agent: cannot open scenario " << path << "\n";
      std::exit(97);
    }
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  return "";
}

// Appends `number` to a list of numbers apart by single spaces.
void append_number(std::string& list, int number) {
  if (!list.empty()) list += ' ';
  list += std::to_string(number);
}

// The signals inherited ignored and blocked, by number. The libc's own signals, which it does
// not let a program look at, are left out.
void record_signals(Record& record) {
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  std::string ignored_list, blocked_list;
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction action {};
    if (sigaction(sig, nullptr, &action) != 0) continue;
    if (action.sa_handler == SIG_IGN) append_number(ignored_list, sig);
    if (sigismember(&blocked, sig) == 1) append_number(blocked_list, sig);
  }
  record.line("ignored", ignored_list);
  record.line("blocked", blocked_list);
}

void record_start(Record& record, int argc, char** argv) {
  record.line("start", std::to_string(now_ns()));
  record.line("pid", std::to_string(getpid()));
  for (int i = 0; i < argc; ++i) record.line("arg", escape(argv[i]));
  char cwd[4096];
  record.line("cwd", escape(getcwd(cwd, sizeof cwd) ? cwd : ""));
  for (char** e = environ; *e != nullptr; ++e) record.line("env", escape(*e));
  struct sigaction old {};
  sigaction(SIGPIPE, nullptr, &old);
  record.line("sigpipe", old.sa_handler == SIG_IGN ? "ignored" : "default");
  record_signals(record);
  record.line("pgid", std::to_string(getpgid(0)));
  record.line("ppid", std::to_string(getppid()));
}

// Reads byte by byte, so nothing past the line is taken from the pipe; true when a "\n" ended it.
bool read_line(int fd, std::string& line) {
  for (char c;;) {
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
}

std::string read_fd_to_end(int fd) {
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

void copy_file_to_stdout(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "fake_agent: cannot open " << path << "\n";
    std::exit(98);
  }
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    write_all(STDOUT_FILENO, std::string_view(buf, static_cast<size_t>(n)));
  }
  ::close(fd);
}

// Runs one directive of the scenario.
void run_directive(Record& record, const std::string& verb, const std::string& rest) {
  if (verb == "out") {
    write_all(STDOUT_FILENO, unescape(rest) + "\n");
  } else if (verb == "raw") {
    write_all(STDOUT_FILENO, unescape(rest));
  } else if (verb == "err") {
    write_all(STDERR_FILENO, unescape(rest) + "\n");
  } else if (verb == "errraw") {
    write_all(STDERR_FILENO, unescape(rest));
  } else if (verb == "cat") {
    copy_file_to_stdout(rest);
  } else if (verb == "repeat") {
    auto space = rest.find(' ');
    long count = std::atol(rest.substr(0, space).c_str());
    std::string line = space == std::string::npos ? "\n" : unescape(rest.substr(space + 1)) + "\n";
    std::string chunk;
    for (long i = 0; i < count; ++i) {
      chunk += line;
      if (chunk.size() >= (1 << 16)) {
        write_all(STDOUT_FILENO, chunk);
        chunk.clear();
      }
    }
    write_all(STDOUT_FILENO, chunk);
  } else if (verb == "errfill") {
    long count = std::atol(rest.c_str());
    std::string bytes;
    for (long i = 0; i < count; ++i) bytes += static_cast<char>('a' + i % 26);
    write_all(STDERR_FILENO, bytes);
  } else if (verb == "stamped") {
    auto space = rest.find(' ');
    long count = std::atol(rest.substr(0, space).c_str());
    long ms = space == std::string::npos ? 0 : std::atol(rest.substr(space + 1).c_str());
    for (long i = 0; i < count; ++i) {
      if (i > 0) sleep_ms(ms);
      write_all(STDOUT_FILENO,
                "{\"type\":\"turn.started\",\"sent_ns\":" + std::to_string(now_ns()) + "}\n");
    }
  } else if (verb == "stdin") {
    record.line("stdin", escape(read_fd_to_end(STDIN_FILENO)));
  } else if (verb == "readline") {
    std::string line;
    bool complete = read_line(STDIN_FILENO, line);
    record.line(complete ? "readline" : "readline-eof", escape(line));
  } else if (verb == "sleep") {
    sleep_ms(std::atol(rest.c_str()));
  } else if (verb == "await") {
    while (::access(rest.c_str(), F_OK) != 0) sleep_ms(10);
  } else if (verb == "touch") {
    std::ofstream(rest).flush();
  } else if (verb == "linger") {
    if (pid_t pid = fork(); pid > 0) {
      record.line("linger", std::to_string(pid));
    } else if (pid == 0) {
      ::close(STDIN_FILENO);
      ::close(STDOUT_FILENO);
      auto space = rest.find(' ');
      sleep_ms(std::atol(rest.substr(0, space).c_str()));
      if (space != std::string::npos)
        write_all(STDERR_FILENO, unescape(rest.substr(space + 1)) + "\n");
      std::_Exit(0);
    }
  } else if (verb == "hold") {
    if (fork() == 0) {
      // " stdin": the helper keeps only standard input, and never reads it.
      if (rest.find(" stdin") != std::string::npos) {
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
      } else {
        ::close(STDIN_FILENO);
      }
      if (rest.find(" apart") != std::string::npos) setsid();
      record.line("hold", std::to_string(getpid()));
      sleep_ms(std::atol(rest.c_str()));
      std::_Exit(0);
    }
  } else if (verb == "close-stdout") {
    ::close(STDOUT_FILENO);
  } else if (verb == "close-stdin") {
    ::close(STDIN_FILENO);
  } else if (verb == "signal-parent") {
    ::kill(getppid(), signal_number(rest));
  } else if (verb == "signal") {
    int sig = signal_number(rest);
    std::signal(sig, SIG_DFL);
    ::kill(getpid(), sig);
    pause();
  } else if (verb == "exit") {
    record.line("end", std::to_string(now_ns()));
    std::_Exit(std::atoi(rest.c_str()));
  } else {
    std::cerr << "fake_agent: unknown directive " << verb << "\n";
    std::_Exit(99);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Record record(std::getenv("VANTREL_FAKE_RECORD"));
  record_start(record, argc, argv);
  std::istringstream scenario(load_scenario());
  std::string line;
  while (std::getline(scenario, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    auto space = line.find(' ');
    std::string verb = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    run_directive(record, verb, rest);
  }
  record.line("end", std::to_string(now_ns()));
  return 0;
}
