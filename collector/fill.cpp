#include "collector/fill.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "collector/client_hash.h"
#include "collector/maintenance.h"
#include "collector/store_factory.h"

namespace lvcollect {

const std::set<std::string> FILL_OPTIONS = {"--db", "--reports", "--days", "--seed", "--replay"};

namespace {

// Reports a transaction. Each goes in as a spool's drain does
// (AppendSeveral), with the time such a transaction may take, not the
// live writer's.
constexpr std::size_t FILL_BATCH = 20000;
constexpr std::uint64_t MAX_FILL_REPORTS = 1000000000;
constexpr std::int64_t MAX_FILL_DAYS = 3650;
constexpr std::uint32_t INSTALLER_BYTES = 3145728;
constexpr double RESULT_SHARE = 0.98;
constexpr double SUCCESS_SHARE = 0.80;     // of all attempts
constexpr double CANCEL_SHARE = 0.02;      // of all attempts
constexpr double TRY_AGAIN_SHARE = 0.30;   // of failures

const char kCommon[] = "protocol=2&mode=initial&pluginversion=850325&oslanguage=";
const char kCommonTail[] = "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";
const char kUrl[] = "http://download.tessaframe.com/pub/lumenvast/default/english/win95nt/8.5.325/installer.foo";

struct Version {
    std::uint32_t major, minor;
    bool nt;
    double weight;
};
const Version kVersions[] = {{10, 0, true, 45}, {6, 1, true, 20}, {6, 2, true, 10}, {6, 3, true, 8},
                             {5, 1, true, 10},  {6, 0, true, 5},  {4, 10, false, 2}};
const std::uint32_t kLanguages[] = {9, 7, 12, 10, 25, 17};
const double kLanguageWeights[] = {60, 10, 10, 10, 5, 5};
const std::uint32_t kFailureCodes[] = {117, 119, 114, 108, 101, 113};

std::string OsFields(const Version& v)
{
    return "&osversion=" + std::to_string(v.major) + "." + std::to_string(v.minor) + (v.nt ? "&os=nt" : "&os=win");
}

std::string StartQuery(const Version& v, std::uint32_t language)
{
    return kCommon + std::to_string(language) + kCommonTail + "&machinetype=pc&sampleperiod=0&uilanguage=" +
           (language == 9 ? "en" : "xx") +
           "&worldregion=1&savesattempted=&savescompleted=&package1=kest,850325&action=update" + OsFields(v);
}

std::string ResultQuery(const Version& v, std::uint32_t language, std::uint32_t code, std::uint32_t seconds,
                        std::uint32_t bytes)
{
    std::string out = kCommon + std::to_string(language) + kCommonTail +
                      "&filesdownloaded=1&installattempts=1&version=,850325&action=";
    if (code == 0)
        out += "success&error=&filesdownloaded=1&installattempts=1&installduration=" + std::to_string(seconds);
    else
        out += "failure&error=" + std::to_string(code) + "&duration=" + std::to_string(seconds);
    return out + "&totalbytes=" + std::to_string(bytes) + "&currenturl=" + kUrl + OsFields(v);
}

bool Number(const std::map<std::string, std::string>& options, const char* name, std::uint64_t most,
            std::uint64_t* value)
{
    if (!options.count(name))
        return true;
    const std::string& text = options.at(name);
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::stoull(text);
    return *value >= 1 && *value <= most;
}

}  // namespace

namespace {

// Each line of the file: the time received (Unix milliseconds), the client,
// the user agent and the query, tab between them.
int Replay(const std::string& db, const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        std::fprintf(stderr, "lvcollect: cannot read %s\n", path.c_str());
        return 1;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    std::vector<Received> batch;
    std::string line;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        Received received;
        std::size_t first = line.find('\t'), second = line.find('\t', first + 1),
                    third = line.find('\t', second + 1);
        if (third == std::string::npos) {
            std::fprintf(stderr, "lvcollect: %s: a line without its four fields\n", path.c_str());
            return 1;
        }
        received.receivedMs = std::stoll(line.substr(0, first));
        received.client = line.substr(first + 1, second - first - 1);
        received.userAgent = line.substr(second + 1, third - second - 1);
        received.query = line.substr(third + 1);
        received.parsed = ParseReportQuery(received.query);
        batch.push_back(std::move(received));
        line.clear();
    }
    std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    std::unique_ptr<ReportStore> store = OpenStore(db, StoreAccess::ReadWrite, UpgradeOptions{0, nowMs, false});
    if (batch.empty())
        return 0;
    ClientHasher hasher;
    std::int64_t first = DayOf(batch.front().receivedMs), last = first;
    for (const Received& received : batch) {
        first = std::min(first, DayOf(received.receivedMs));
        last = std::max(last, DayOf(received.receivedMs));
    }
    for (const auto& [day, key] : store->DayKeys(first, last))
        hasher.PutShared(day, key);
    for (Received& received : batch)
        received.client = hasher.Hash(received.client, received.receivedMs);
    store->AppendSeveral({NamedBatch{&batch, BatchName{"replay", 1, false}}});
    store->ForgetDayKeys(DayOf(nowMs - KEY_GRACE_MS));
    return 0;
}

}  // namespace

int Fill(const std::string& db, const std::map<std::string, std::string>& options)
{
    if (options.count("--replay"))
        return Replay(db, options.at("--replay"));
    std::uint64_t reports = 0, days = 7, seed = 1;
    if (!options.count("--reports") || !Number(options, "--reports", MAX_FILL_REPORTS, &reports) ||
        !Number(options, "--days", MAX_FILL_DAYS, &days) || !Number(options, "--seed", UINT32_MAX, &seed)) {
        std::fputs("usage: lvcollect fill --db STORE --reports N [--days D] [--seed S]\n", stderr);
        return 2;
    }
    using namespace std::chrono;
    const std::int64_t nowMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::int64_t spanMs = static_cast<std::int64_t>(days) * DAY_MS;
    const std::int64_t firstMs = nowMs - spanMs;
    std::unique_ptr<ReportStore> store = OpenStore(db, StoreAccess::ReadWrite, UpgradeOptions{0, nowMs, false});
    ClientHasher hasher;
    for (const auto& [day, key] : store->DayKeys(DayOf(firstMs), DayOf(nowMs) + 1))
        hasher.PutShared(day, key);

    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::discrete_distribution<std::size_t> version(
        {kVersions[0].weight, kVersions[1].weight, kVersions[2].weight, kVersions[3].weight, kVersions[4].weight,
         kVersions[5].weight, kVersions[6].weight});
    std::discrete_distribution<std::size_t> language(std::begin(kLanguageWeights), std::end(kLanguageWeights));
    std::lognormal_distribution<double> successSeconds(3.7, 0.6);   // a median of about 40 s
    // Reports per attempt: a start, 0.98 results, and the Try Agains' pairs.
    const double perAttempt = 1 + RESULT_SHARE + 2 * TRY_AGAIN_SHARE * (RESULT_SHARE - SUCCESS_SHARE - CANCEL_SHARE);
    const double stepMs = static_cast<double>(spanMs) / (static_cast<double>(reports) / perAttempt);

    std::vector<Received> batch;
    std::int64_t batches = 0;
    std::uint64_t stored = 0;
    double at = static_cast<double>(firstMs);
    const std::string source = "fill:" + std::to_string(seed);
    steady_clock::time_point started = steady_clock::now();
    auto add = [&](std::int64_t ms, const std::string& address, std::string query) {
        Received received;
        received.receivedMs = std::min(ms, nowMs);
        received.client = hasher.Hash(address, received.receivedMs);
        received.userAgent = "Lumenvast Downloader";
        received.query = std::move(query);
        received.parsed = ParseReportQuery(received.query);
        batch.push_back(std::move(received));
        if (batch.size() == FILL_BATCH) {
            store->AppendSeveral({NamedBatch{&batch, BatchName{source, ++batches, false}}});
            stored += batch.size();
            batch.clear();
        }
    };
    std::uint64_t generated = 0;
    while (generated < reports) {
        at += stepMs * 2 * unit(random);
        std::int64_t ms = static_cast<std::int64_t>(at);
        std::uint32_t ip = static_cast<std::uint32_t>(random());
        std::string address = std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." +
                              std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255);
        const Version& v = kVersions[version(random)];
        std::uint32_t lang = kLanguages[language(random)];
        for (int attempt = 0; attempt < 2 && generated < reports; ++attempt) {
            add(ms, address, StartQuery(v, lang));
            ++generated;
            double outcome = unit(random);
            if (outcome >= RESULT_SHARE || generated >= reports)
                break;   // cut off
            std::uint32_t seconds = 0, bytes = 0, code = 0;
            if (outcome < SUCCESS_SHARE) {
                seconds = static_cast<std::uint32_t>(successSeconds(random)) + 1;
                bytes = INSTALLER_BYTES;
            } else if (outcome < SUCCESS_SHARE + CANCEL_SHARE) {
                code = 123;
                seconds = static_cast<std::uint32_t>(unit(random) * 60);
            } else {
                code = kFailureCodes[random() % (sizeof kFailureCodes / sizeof kFailureCodes[0])];
                seconds = static_cast<std::uint32_t>(unit(random) * 300);
                bytes = static_cast<std::uint32_t>(unit(random) * INSTALLER_BYTES);
            }
            ms += static_cast<std::int64_t>(seconds) * 1000 + 1;
            add(ms, address, ResultQuery(v, lang, code, seconds, bytes));
            ++generated;
            if (code == 0 || code == 123 || unit(random) >= TRY_AGAIN_SHARE)
                break;
            ms += 5000;   // Try Again, in the same process
        }
    }
    if (!batch.empty()) {
        store->AppendSeveral({NamedBatch{&batch, BatchName{source, ++batches, false}}});
        stored += batch.size();
    }
    // The keys of past days go, as a running collector's do.
    store->ForgetDayKeys(DayOf(nowMs - KEY_GRACE_MS));
    double seconds = duration<double>(steady_clock::now() - started).count();
    std::printf("lvcollect: filled %llu reports over %llu days in %.1f s (%.0f a second)\n",
                static_cast<unsigned long long>(stored), static_cast<unsigned long long>(days), seconds,
                static_cast<double>(stored) / seconds);
    return 0;
}

}  // namespace lvcollect
