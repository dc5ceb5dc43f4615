// A task's optional settings, read from the values its group wrote. A task
// without them gets the defaults, which are the tool's behaviour without
// these keys.
#ifndef VANDRISK_CONFIG_TASK_SETTINGS_H_
#define VANDRISK_CONFIG_TASK_SETTINGS_H_

#include <string>

#include "config/task_list.h"
#include "ftp/name_codec.h"

namespace vandrisk {

struct TransferSettings {
  int parallel = 1;   // connections (and transfers) at once
  bool passive = false;
  int retries = 0;    // retries of a transient failure
  bool tls = false;
  std::string tls_ca;  // empty: the system's CA store
  int min_age = 0;     // seconds; files changed more recently are passed over
  Charset charset = Charset::kRaw;
};

// The first setting whose value cannot be used, as written.
struct BadSetting {
  std::string key;
  std::string value;
};

// Reads the task's settings into `settings`. False with the first value that
// cannot be used: a number out of range or with anything but decimal digits,
// a switch other than 0 or 1, an empty tlsca, a charset this tool does not
// know or this OS cannot read.
bool read_settings(const TaskSettings& written, TransferSettings& settings, BadSetting& bad);

}  // namespace vandrisk

#endif  // VANDRISK_CONFIG_TASK_SETTINGS_H_
