// The collector's own spool: while its database is away, what it answers
// is kept in a file on its own disk, and goes into the database, in order,
// once that is back.
//
// The file is append-only: a header, then one record per batch, each
// flushed to the disk (fdatasync) before the batch counts as stored and its
// reports are answered. A record is its payload's length and checksum, then
// the batch's name and its reports as received (the time, the client's
// hash, the user agent and the query; the rest is parsed again from the
// query). A spool of the first collector, which held the clients'
// addresses, is rewritten with their hashes when opened. A
// record cut short by a crash was never answered, and is dropped when the
// file is opened again. The records go into the database under their
// batches' names, so a record that was stored before a crash and is found
// again is stored once; the file is emptied only after the last one
// committed.
#ifndef LV_COLLECTOR_SPOOL_H
#define LV_COLLECTOR_SPOOL_H

#include <memory>
#include <string>

#include "collector/store.h"

namespace lvcollect {

// Puts `database` behind the spool at `path`: created when missing, held
// locked (StoreError while another collector holds it) and drained from the
// start when it holds records. Removed when the store is closed empty. A
// database that could not be reached at the start (`away` says why) is
// waited for: every batch goes to the spool until it is reached, its
// schema checked or upgraded, and the spool stored.
std::unique_ptr<ReportStore> WithSpool(std::unique_ptr<ReportStore> database, const std::string& path,
                                       ClientHasher& hasher, const std::string& away = {});

}  // namespace lvcollect

#endif
