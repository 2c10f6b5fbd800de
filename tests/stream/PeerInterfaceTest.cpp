// Keeping the BitTorrent side on one interface: what --peer-interface takes, and that the
// session then listens there alone and still reaches its peers.

#include "stream/PeerInterface.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "tests/stream/StreamFixture.h"

namespace morvane::testing {
namespace {

TEST(PeerInterfaceTest, TakesAnInterfaceNameOrAnAddress) {
  struct Case {
    std::string given;
    bool taken;
    std::string listen, outgoing;
  } cases[] = {
      {"wg0", true, "wg0:0", "wg0"},
      {"eth0.100", true, "eth0.100:0", "eth0.100"},
      {"10.8.0.2", true, "10.8.0.2:0", "10.8.0.2"},
      {"fd00::2", true, "[fd00::2]:0", "fd00::2"},
      {"", false, "", ""},
      {"wg0,eth0", false, "", ""},
      {"wg0:6881", false, "", ""},
      {"a name too long", false, "", ""},
      {"averyveryverylongname", false, "", ""},
      {"..", false, "", ""},
  };
  for (const Case& c : cases) {
    stream::StreamOptions options;
    const std::string before = options.peerInterfaces;
    EXPECT_EQ(stream::UsePeerInterface(c.given, options), c.taken) << c.given;
    EXPECT_EQ(options.peerInterfaces, c.taken ? c.listen : before) << c.given;
    EXPECT_EQ(options.peerOutgoingInterfaces, c.outgoing) << c.given;
  }
}

// The local addresses of this process's listening TCP sockets, as /proc lists them: "0100007F"
// is 127.0.0.1 (libtorrent listening on "every address" listens on each one of them).
std::multiset<std::string> ListeningAddresses() {
  std::set<std::string> inodes;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::multiset<std::string> addresses;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state == "0A" && inodes.contains(inode)) addresses.insert(local.substr(0, local.find(':')));
    }
  }
  return addresses;
}

bool AllLoopback(const std::multiset<std::string>& addresses) {
  for (const std::string& a : addresses) {
    const bool v4 = a.size() == 8 && a.substr(6) == "7F";
    const bool v6 = a == "00000000000000000000000001000000";
    const bool mapped = a.size() == 32 && a.starts_with("0000000000000000FFFF0000") && a.substr(30) == "7F";
    if (!v4 && !v6 && !mapped) return false;
  }
  return true;
}

// Whether this machine has an IPv4 address beside loopback, where a session listening
// everywhere would listen too.
bool HasOutsideAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs* i = list; i; i = i->ifa_next)
    if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && !(i->ifa_flags & IFF_LOOPBACK)) found = true;
  ::freeifaddrs(list);
  return found;
}

using PeerInterfaceServiceTest = StreamFixture;

TEST_F(PeerInterfaceServiceTest, ThePeersListenOnlyThereAndStillFindTheSwarm) {
  struct Case {
    const char* what;
    std::string peerInterface;  // "" for every interface
  } cases[] = {
      {"every interface, as without the option", ""},
      {"an address", "127.0.0.1"},
      {"an interface name", "lo"},
  };
  const auto seeder = MakeSeeder("peers.mp4", {{"peers.mp4", 1 << 20}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = ListeningAddresses().size();
    StartService([&](stream::StreamOptions& o) {
      o.peerInterfaces = "0.0.0.0:0,[::]:0";
      if (!c.peerInterface.empty()) {
        ASSERT_TRUE(stream::UsePeerInterface(c.peerInterface, o));
      }
    });
    // The HTTP side, and the peers' side once the session has opened it. Listening
    // everywhere, the session opens one socket for each of the machine's addresses, one
    // after another, the loopback ones often first: all of them are waited for.
    const bool outsideToo = c.peerInterface.empty() && HasOutsideAddress();
    std::multiset<std::string> listening;
    for (int i = 0; i < 250 && ((listening = ListeningAddresses()).size() < before + 2 ||
                                (outsideToo && AllLoopback(listening)));
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(listening.size(), before + 2);
    if (c.peerInterface.empty()) {
      EXPECT_TRUE(!HasOutsideAddress() || !AllLoopback(listening));
    } else {
      EXPECT_TRUE(AllLoopback(listening));
    }
    // (A name binds outgoing connections to the device, which may need privileges.)
    if (c.peerInterface != "lo") {
      EXPECT_TRUE(Resolve(seeder->MagnetLink()).starts_with(Base() + "/stream/"));
    }
    StopService();
    std::filesystem::remove_all(Cache());
  }
}

}  // namespace
}  // namespace morvane::testing
