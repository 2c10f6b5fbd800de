#pragma once
// Two network namespaces joined by a veth pair, made for one test and removed after it: a
// small local network of its own, with multicast, on which a renderer and Morvane's side
// meet without any traffic on the machine's own interfaces. Making them needs root and the
// ip tool; where they cannot be made, Why() says so and the test skips.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace morvane::testing {

class NamespacePair {
 public:
  NamespacePair() {
    const std::string id = std::to_string(::getpid() % 100000);
    for (int side = 0; side < 2; ++side) {
      names_[side] = std::string("morvane-") + (side ? "b-" : "a-") + id;
      interfaces_[side] = std::string("mv") + (side ? "b" : "a") + id;
      // One /24 for each test process, so that two runs at once do not meet.
      addresses_[side] = "10.213." + std::to_string(::getpid() % 250) + "." + std::to_string(side + 1);
    }
    if (::geteuid() != 0) {
      why_ = "making network namespaces needs root";
      return;
    }
    if (!Run("ip netns add " + names_[0]) || !Run("ip netns add " + names_[1])) {
      why_ = "the ip tool cannot make network namespaces here";
      return;
    }
    made_ = true;
    bool ok = Run("ip link add " + interfaces_[0] + " netns " + names_[0] + " type veth peer name " +
                  interfaces_[1] + " netns " + names_[1]);
    for (int side = 0; ok && side < 2; ++side) {
      const std::string in = "ip -n " + names_[side] + " ";
      ok = Run(in + "link set lo up") &&
           Run(in + "addr add " + addresses_[side] + "/24 dev " + interfaces_[side]) &&
           Run(in + "link set " + interfaces_[side] + " up multicast on") &&
           // SSDP's multicast group leaves by the pair's link.
           Run(in + "route add 239.0.0.0/8 dev " + interfaces_[side]);
    }
    if (!ok) why_ = "the veth pair between the namespaces cannot be made";
  }

  ~NamespacePair() {
    Leave();
    for (const pid_t pid : started_) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    if (made_)
      for (const std::string& name : names_) Run("ip netns delete " + name);
  }

  NamespacePair(const NamespacePair&) = delete;
  NamespacePair& operator=(const NamespacePair&) = delete;

  bool Ok() const { return made_ && why_.empty(); }
  const std::string& Why() const { return why_; }
  const std::string& Interface(int side) const { return interfaces_[side]; }
  const std::string& Address(int side) const { return addresses_[side]; }

  // Moves the calling thread into a side's namespace; threads it starts afterwards are born
  // there. Leave (or the destructor) brings it back.
  bool Enter(int side) {
    if (home_ < 0) home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(("/var/run/netns/" + names_[side]).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) ::close(target);
    return entered;
  }

  void Leave() {
    if (home_ < 0) return;
    ::setns(home_, CLONE_NEWNET);
    ::close(home_);
    home_ = -1;
  }

  // Starts `argv` in a side's namespace with its output in `logFile`; it is ended (SIGTERM)
  // with the pair. -1 when it cannot be started.
  pid_t Spawn(int side, const std::vector<std::string>& argv, const std::string& logFile) {
    std::vector<std::string> command{"ip", "netns", "exec", names_[side]};
    command.insert(command.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& arg : command) args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (log >= 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
      }
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    if (pid > 0) started_.push_back(pid);
    return pid;
  }

 private:
  static bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }

  std::string names_[2], interfaces_[2], addresses_[2];
  std::string why_;
  bool made_ = false;
  int home_ = -1;
  std::vector<pid_t> started_;
};

}  // namespace morvane::testing
