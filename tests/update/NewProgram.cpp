// Stands in for a freshly downloaded program: leaves the file "started" beside itself.
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

int main() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  std::string directory(self, static_cast<std::size_t>(n));
  directory.resize(directory.rfind('/'));
  std::ofstream(directory + "/started") << "started\n";
  return 0;
}
