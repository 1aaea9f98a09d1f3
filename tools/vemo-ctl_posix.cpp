// vemo-ctl on POSIX systems: the terminal takes UTF-8 as it is, and a key file must be its
// owner's alone.
#include <sys/stat.h>

#include <string>

void useUtf8Output() {}

bool ownerOnly(const std::string& path, std::string& why) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    why = path + ": no such file";
    return false;
  }
  if ((info.st_mode & 077) != 0) {
    why = path + ": others may read it (a key file wants mode 0600)";
    return false;
  }
  return true;
}
