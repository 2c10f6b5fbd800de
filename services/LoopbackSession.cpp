#include "services/LoopbackSession.h"

namespace morvane::services {

lt::settings_pack LoopbackSessionSettings() {
  lt::settings_pack pack;
  pack.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
  pack.set_bool(lt::settings_pack::enable_dht, false);
  pack.set_bool(lt::settings_pack::enable_lsd, false);
  pack.set_bool(lt::settings_pack::enable_upnp, false);
  pack.set_bool(lt::settings_pack::enable_natpmp, false);
  // Every peer of the loopback swarm comes from 127.0.0.1.
  pack.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
  return pack;
}

}  // namespace morvane::services
