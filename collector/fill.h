// `lvcollect fill`, a hidden command for the benchmarks: stores generated
// download attempts through the store's own code (summaries, hashes and
// all), as if they had been received over the given number of days before
// now, so that the reads are timed on stores of millions of reports.
//
//   lvcollect fill --db STORE --reports N [--days D] [--seed S]
//   lvcollect fill --db STORE --replay FILE
//
// --replay stores the reports of a file (one a line: the time received in
// Unix milliseconds, the client, the user agent and the query, a tab
// between them) as if received then: the tests' way to reports of past
// days.
//
// The attempts are those of a typical week: a start report each and, for
// 98 in 100, a result; 80 in 100 end in success; seven Windows versions,
// the languages of the table; nearly every attempt from an address of its
// own, and some failures followed by Try Again.
#ifndef LV_COLLECTOR_FILL_H
#define LV_COLLECTOR_FILL_H

#include <map>
#include <set>
#include <string>

namespace lvcollect {

extern const std::set<std::string> FILL_OPTIONS;

int Fill(const std::string& db, const std::map<std::string, std::string>& options);

}  // namespace lvcollect

#endif
