#include "stream/SessionSettings.h"

#include <libtorrent/alert.hpp>
#include <libtorrent/address.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/session.hpp>

namespace lt = libtorrent;

namespace morvane::stream {

lt::settings_pack SessionSettings(const StreamOptions& options) {
  lt::settings_pack settings;
  settings.set_int(lt::settings_pack::alert_mask,
                   lt::alert_category::status | lt::alert_category::error |
                       lt::alert_category::storage | lt::alert_category::piece_progress |
                       lt::alert_category::connect);
  settings.set_str(lt::settings_pack::listen_interfaces, options.peerInterfaces);
  settings.set_str(lt::settings_pack::outgoing_interfaces, options.peerOutgoingInterfaces);
  settings.set_bool(lt::settings_pack::enable_dht, options.dht);
  std::string nodes;
  for (const std::string& node : options.dhtBootstrapNodes) nodes += (nodes.empty() ? "" : ",") + node;
  if (!nodes.empty()) settings.set_str(lt::settings_pack::dht_bootstrap_nodes, nodes);
  settings.set_bool(lt::settings_pack::enable_lsd, options.localPeerDiscovery);
  settings.set_bool(lt::settings_pack::enable_upnp, options.localPeerDiscovery);
  settings.set_bool(lt::settings_pack::enable_natpmp, options.localPeerDiscovery);
  // libtorrent's own guard against being sent to this machine's services: a tracker on
  // loopback must be at an /announce path, a web seed there takes no query, and no name is
  // written in letters that can pass for others'.
  settings.set_bool(lt::settings_pack::ssrf_mitigation, true);
  settings.set_bool(lt::settings_pack::allow_idna, false);
  settings.set_bool(lt::settings_pack::validate_https_trackers, true);
  settings.set_bool(lt::settings_pack::announce_to_all_trackers, true);
  settings.set_bool(lt::settings_pack::announce_to_all_tiers, true);
  // Announcing "stopped" may not hold up shutdown.
  settings.set_int(lt::settings_pack::stop_tracker_timeout, 1);
  settings.set_int(lt::settings_pack::alert_queue_size, 10000);
  // Peers are told apart by address and port. By address alone, a seeder that went away and
  // came back on another port (a link naming it again) is the same failed peer, retried
  // only after a minute per failure.
  settings.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
  // A torrent that holds every piece wanted so far counts as finished, and libtorrent would
  // drop its connections to seeds; here more pieces are wanted a moment later.
  settings.set_bool(lt::settings_pack::close_redundant_connections, false);
  // Named peers are connected, and pieces with deadlines requested, on the session's tick:
  // the default half second would be most of the wait for a player's first bytes (20 Hz:
  // the first 64 KiB of a film 60 ms sooner at 1 MiB/s than at 10 Hz).
  settings.set_int(lt::settings_pack::tick_interval, 50);
  // Outgoing uTP attempts to peers that have gone hold the session's shutdown for seconds
  // (measured: up to 2 s); peers are reached over TCP, which every client accepts.
  settings.set_bool(lt::settings_pack::enable_outgoing_utp, false);
  // Requests queued at a peer are served before a seek's: libtorrent keeps as many as the
  // peer sends in this many seconds (default 3). One second still keeps a peer busy between
  // two ticks, and a seek waits behind a third as much.
  settings.set_int(lt::settings_pack::request_queue_time, 1);
  // The session's limits are those of its global peer class (0: none).
  settings.set_int(lt::settings_pack::download_rate_limit, static_cast<int>(options.maxDownloadRate));
  settings.set_int(lt::settings_pack::upload_rate_limit, static_cast<int>(options.maxUploadRate));
  return settings;
}

void LimitLoopbackPeers(lt::session& session, const StreamOptions& options) {
  if (options.maxDownloadRate <= 0 && options.maxUploadRate <= 0) return;
  // libtorrent puts peers on this machine and the local network in a class of their own
  // that no limit holds. Peers elsewhere on the local network do not use the household's
  // line and stay there; those on this machine (another client, the tests' swarm) join
  // the global class, so that a limit set is a limit kept.
  lt::ip_filter classes = session.get_peer_class_filter();
  const auto global = std::uint32_t{1} << static_cast<std::uint32_t>(lt::session::global_peer_class_id);
  classes.add_rule(lt::make_address("127.0.0.0"), lt::make_address("127.255.255.255"), global);
  classes.add_rule(lt::make_address("::1"), lt::make_address("::1"), global);
  session.set_peer_class_filter(classes);
}

}  // namespace morvane::stream
