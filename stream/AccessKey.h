#pragma once
// The streaming service's access key. Bound beyond loopback, every request must carry it,
// as the first segment of its path ("/KEY/xml.php?url=...") or as "Authorization: Bearer
// KEY"; the addresses the service answers carry it in their path, so a browser's video
// element fetches them without headers. The key lives in a file of its own, made with a
// random key the first time it is needed.

#include <optional>
#include <string>
#include <string_view>

namespace morvane::stream {

// Letters, digits, "-", "_", ".", "~", from 16 to 256 of them: a key fits a path segment as
// it stands and cannot be taken for one of the service's own routes.
bool IsUsableKey(std::string_view key);

// Compares in time that depends on the lengths alone, so a stranger cannot find the key a
// character at a time.
bool KeysMatch(std::string_view given, std::string_view key);

// The key a request carries: its target's first path segment, or the Bearer credential.
// `path` gets the target without the key's segment ("/" when nothing follows it).
bool CarriesKey(std::string_view target, std::string_view authorization, std::string_view key,
                std::string& path);

// A new random 128-bit key, in hexadecimal; "" when the system gives no random bytes.
std::string NewRandomKey();

// The service's config folder's key file: UserConfigDir() + "/stream-token".
std::string DefaultKeyFile();

struct KeyFile {
  std::string key;    // empty when it could not be had
  bool made = false;  // the file did not exist: a new key was written into it
  std::string error;
  std::string notice;  // something the owner should know, with a key had all the same
};

// Reads the key from `path` (surrounding blanks dropped), or when the file does not exist
// makes a random 128-bit key and writes it there, readable by its owner alone (the folder
// made as needed, 0700). Only a regular file of the user's own is taken, never through a
// symbolic link; one that others could read is made the owner's alone, and said so.
KeyFile LoadOrMakeKey(const std::string& path);

}  // namespace morvane::stream
