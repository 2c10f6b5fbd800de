// What a stranger's link may send the swarm to: nothing inside, by number or by name.

#include "stream/SwarmTargets.h"

#include <gtest/gtest.h>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_info.hpp>

namespace lt = libtorrent;

namespace morvane::stream {
namespace {

TEST(SwarmTargetsTest, TheHostOfAnAddressIsReadOneWayOnly) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"http://tracker.example:6969/announce", "tracker.example"},
      {"udp://10.0.0.1:80", "10.0.0.1"},
      {"udp://[::1]:6969/announce", "::1"},
      {"https://[fe80::1]/seed/", "fe80::1"},
      {"http://Example.COM", "Example.COM"},
      {"wss://host?x=1", "host"},
      {"http://user@127.0.0.1/announce", std::nullopt},
      {"http://tracker.example@127.0.0.1/", std::nullopt},
      {"http://127.0.0.1%2f@tracker.example/", std::nullopt},
      {"http://tracker.example\\@127.0.0.1/", std::nullopt},
      {"http://a b/", std::nullopt},
      {"http://[::1/", std::nullopt},
      {"http://[::1]x/", std::nullopt},
      {"http://::1/", std::nullopt},
      {"http:///announce", std::nullopt},
      {"tracker.example/announce", std::nullopt},
  };
  for (const auto& [url, host] : cases) EXPECT_EQ(UrlHost(url), host) << url;
}

TEST(SwarmTargetsTest, InsideNumbersAndNamesLeadInside) {
  const std::pair<std::string, bool> cases[] = {
      {"127.0.0.1", true},      {"127.8.9.10", true},   {"10.1.2.3", true},
      {"172.16.0.1", true},     {"172.31.255.255", true}, {"192.168.1.20", true},
      {"169.254.169.254", true}, {"100.64.0.1", true},  {"0.0.0.0", true},
      {"224.0.0.1", true},      {"255.255.255.255", true}, {"::1", true},
      {"::", true},             {"fe80::1", true},      {"fc00::1", true},
      {"fd12:3456::1", true},   {"::ffff:10.0.0.1", true}, {"::ffff:127.0.0.1", true},
      {"localhost", true},      {"127.1", true},        {"0x7f000001", true},
      {"2130706433", true},     {"no-such-host.invalid", true}, {"", true},
      {"93.184.216.34", false}, {"2606:4700::6810:84e5", false}, {"172.32.0.1", false},
  };
  for (const auto& [host, inside] : cases) EXPECT_EQ(LeadsInside(host), inside) << host;
}

TEST(SwarmTargetsTest, WhatALinkNamesInsideIsLeftOutTheRestKept) {
  lt::add_torrent_params params;
  params.trackers = {"http://127.0.0.1:47080/announce", "udp://tracker.example:80/announce",
                     "http://192.168.1.1/admin/reboot?confirm=1", "http://[::1]:6969/announce",
                     "http://localhost/announce", "udp://93.184.216.34:1337"};
  params.tracker_tiers = {0, 1, 2, 3, 4, 5};
  params.url_seeds = {"http://10.0.0.5/films/", "https://seed.example/films/", "http://[fd00::2]/"};
  params.http_seeds = {"http://169.254.169.254/latest/", "http://93.184.216.34/seed"};
  params.dht_nodes = {{"192.168.0.9", 6881}, {"router.example", 6881}, {"localhost", 6881}};
  params.peers = {lt::tcp::endpoint(lt::make_address("127.0.0.1"), 6881),
                  lt::tcp::endpoint(lt::make_address("10.9.8.7"), 51413),
                  lt::tcp::endpoint(lt::make_address("fe80::1"), 51413),
                  lt::tcp::endpoint(lt::make_address("::ffff:192.168.1.1"), 51413),
                  lt::tcp::endpoint(lt::make_address("93.184.216.34"), 51413),
                  lt::tcp::endpoint(lt::make_address("2606:4700::1"), 51413)};
  // The names of this table stand for public hosts without a resolver; the rest is judged
  // as the service judges it.
  const auto judge = [](const std::string& host) {
    return host.ends_with(".example") ? false : LeadsInside(host);
  };
  KeepOutsideTargets(params, judge);
  EXPECT_EQ(params.trackers, (std::vector<std::string>{"udp://tracker.example:80/announce",
                                                       "udp://93.184.216.34:1337"}));
  EXPECT_EQ(params.tracker_tiers, (std::vector<int>{1, 5}));
  EXPECT_EQ(params.url_seeds, std::vector<std::string>{"https://seed.example/films/"});
  EXPECT_EQ(params.http_seeds, std::vector<std::string>{"http://93.184.216.34/seed"});
  EXPECT_EQ(params.dht_nodes, (std::vector<std::pair<std::string, int>>{{"router.example", 6881}}));
  ASSERT_EQ(params.peers.size(), 2u);
  EXPECT_EQ(params.peers[0].address().to_string(), "93.184.216.34");
  EXPECT_EQ(params.peers[1].address().to_string(), "2606:4700::1");

  // Past a few dozen names every further one counts as inside: lookups are not free.
  lt::add_torrent_params many;
  for (int i = 0; i < 40; ++i) many.trackers.push_back("http://t" + std::to_string(i) + ".example/announce");
  KeepOutsideTargets(many, judge);
  EXPECT_EQ(many.trackers.size(), 32u);
}

// A torrent of one file with trackers, web seeds and DHT nodes, as bytes.
std::string TorrentNaming(const std::vector<std::string>& trackers, const std::vector<std::string>& seeds,
                          const std::vector<std::pair<std::string, int>>& nodes) {
  lt::file_storage files;
  files.add_file("film.mp4", 1 << 16);
  lt::create_torrent made(files, 1 << 16);
  made.set_hash(lt::piece_index_t(0), lt::sha1_hash("0123456789abcdefghij"));
  int tier = 0;
  for (const std::string& tracker : trackers) made.add_tracker(tracker, tier++);
  for (const std::string& seed : seeds) made.add_url_seed(seed);
  for (const auto& node : nodes) made.add_node(node);
  std::string bytes;
  lt::bencode(std::back_inserter(bytes), made.generate());
  return bytes;
}

TEST(SwarmTargetsTest, ATorrentFileKeepsItsHashAndLosesWhatLeadsInside) {
  const std::string bytes =
      TorrentNaming({"http://127.0.0.1:47080/announce", "udp://tracker.example:80/announce"},
                    {"http://10.0.0.5/films/", "https://seed.example/films/"},
                    {{"192.168.0.9", 6881}, {"127.0.0.1", 6881}});
  const lt::torrent_info original(bytes, lt::from_span);
  const std::string stripped = WithoutDhtNodes(bytes);
  lt::add_torrent_params params;
  params.ti = std::make_shared<lt::torrent_info>(stripped, lt::from_span);
  EXPECT_EQ(params.ti->info_hashes(), original.info_hashes());
  EXPECT_EQ(original.nodes().size(), 2u);
  EXPECT_TRUE(params.ti->nodes().empty());
  KeepOutsideTargets(params, [](const std::string& host) { return host != "tracker.example" && host != "seed.example"; });
  ASSERT_EQ(params.ti->trackers().size(), 1u);
  EXPECT_EQ(params.ti->trackers()[0].url, "udp://tracker.example:80/announce");
  ASSERT_EQ(params.ti->web_seeds().size(), 1u);
  EXPECT_EQ(params.ti->web_seeds()[0].url, "https://seed.example/films/");

  const std::string noNodes = TorrentNaming({}, {}, {});
  EXPECT_EQ(WithoutDhtNodes(noNodes), noNodes);
  EXPECT_EQ(WithoutDhtNodes("not bencode"), "not bencode");
}

}  // namespace
}  // namespace morvane::stream
