// The commented sample configuration that --init writes.
#ifndef VANDRISK_CONFIG_CONFIG_TEMPLATE_H_
#define VANDRISK_CONFIG_CONFIG_TEMPLATE_H_

#include <ostream>

namespace vandrisk {

// Writes the template to the default configuration file next to the
// executable, replacing any file there. Fails when the executable's path is
// unavailable (that text goes to out) or the file cannot be written.
bool write_template(std::ostream& out);

// Writes the template to path (binary: exactly the template's bytes).
bool write_template_to(const char* path);

}  // namespace vandrisk

#endif  // VANDRISK_CONFIG_CONFIG_TEMPLATE_H_
