// `tqctl archive search|export|verify`.
#ifndef GW_ARCHIVE_ADMIN_H
#define GW_ARCHIVE_ADMIN_H

#include <string>

#include "archive.h"
#include "module_host.h"

namespace gw {

// Runs `archive REST` against `archive` (null: none configured) into `r`.
void archive_command(Archive *archive, const std::string &rest, Report &r);

// The conversations holding what `q` finds, as the module answers its log
// searches: <logs entries='N'><log user contact time conversation>, each
// with its lines (`show`) or empty (list).
std::string archive_logs_xml(Archive &archive, const ArchiveQuery &q, bool show, std::string &error);
// `msnp log list|show USERS[:CONTACTS] [FROM:TO [TEXT]]` from the archive.
void archive_log_command(Archive &archive, const std::string &rest, Report &r);

} // namespace gw

#endif
