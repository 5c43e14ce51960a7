// `tqctl archive search|export|verify`.
#ifndef GW_ARCHIVE_ADMIN_H
#define GW_ARCHIVE_ADMIN_H

#include <string>

#include "archive.h"
#include "module_host.h"

namespace gw {

// Runs `archive REST` against `archive` (null: none configured) into `r`.
void archive_command(Archive *archive, const std::string &rest, Report &r);

} // namespace gw

#endif
