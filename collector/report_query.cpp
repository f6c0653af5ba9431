#include "collector/report_query.h"

#include <limits>

namespace lvcollect {
namespace {

constexpr std::string_view kReportPath = "/foo.bar";
constexpr std::string_view kScheme = "http://";
// The scheme of the download URL in a report from an HTTPS build.
constexpr std::string_view kSecureScheme = "https://";

// A build per language: oslanguage is its Windows primary language id,
// uilanguage its two-letter code.
constexpr std::string_view kCommonHead = "protocol=2&mode=initial&pluginversion=850325&oslanguage=";
constexpr std::string_view kCommonTail = "&installtype=Kestrelox&installstate=newplug&product1=LMV10D80";
constexpr std::string_view kStartHead = "&machinetype=pc&sampleperiod=0&uilanguage=";
constexpr std::string_view kStartTail =
    "&worldregion=1&savesattempted=&savescompleted=&package1=kest,850325&action=update";
constexpr std::string_view kResultHead = "&filesdownloaded=1&installattempts=1&version=,850325&action=";
constexpr std::string_view kSuccessFields =
    "success&error=&filesdownloaded=1&installattempts=1&installduration=";
constexpr std::string_view kFailureFields = "failure&error=";
constexpr std::string_view kDuration = "&duration=";
constexpr std::string_view kTotalBytes = "&totalbytes=";
constexpr std::string_view kCurrentUrl = "&currenturl=";
constexpr std::string_view kOsVersion = "&osversion=";
constexpr std::string_view kOsLine = "&os=";

// The scheme, a download host and an object path of at most 259 characters
// each, and the "/" between them.
constexpr std::size_t MAX_CATALOGUE_TEXT_BYTES = 259;
constexpr std::size_t MaxCurrentUrlBytes(std::string_view scheme)
{
    return scheme.size() + MAX_CATALOGUE_TEXT_BYTES + 1 + MAX_CATALOGUE_TEXT_BYTES;
}
// The downloader writes a 32-bit number in at most 10 digits.
constexpr std::size_t MAX_NUMBER_DIGITS = 10;
// A Windows language id is 16 bits: at most 5 digits.
constexpr std::size_t MAX_LANGUAGE_DIGITS = 5;
constexpr std::uint32_t MAX_LANGUAGE_ID = 65535;

bool StartsWith(std::string_view text, std::string_view head)
{
    return text.substr(0, head.size()) == head;
}

// Reads the fixed sequence front to back; the first mismatch is the reason.
class Cursor {
public:
    explicit Cursor(std::string_view query) : query_(query) {}

    bool failed() const { return !reason_.empty(); }
    const std::string& reason() const { return reason_; }
    std::size_t position() const { return position_; }
    std::string_view rest() const { return query_.substr(position_); }

    bool Fail(std::string what)
    {
        if (!failed())
            reason_ = "at byte " + std::to_string(position_) + ": " + what;
        return false;
    }

    bool Literal(std::string_view text)
    {
        if (failed())
            return false;
        if (!StartsWith(rest(), text))
            return Fail("expected \"" + std::string(text) + "\"");
        position_ += text.size();
        return true;
    }

    // A literal that may or may not stand here; no failure when it does not.
    bool Accept(std::string_view text)
    {
        if (failed() || !StartsWith(rest(), text))
            return false;
        position_ += text.size();
        return true;
    }

    // Plain decimal digits of a 32-bit value: no sign, no leading zero.
    bool Number(std::uint32_t* value)
    {
        if (failed())
            return false;
        std::size_t digits = 0;
        std::uint64_t total = 0;
        while (digits < rest().size() && rest()[digits] >= '0' && rest()[digits] <= '9') {
            if (digits == MAX_NUMBER_DIGITS)
                return Fail("number of more than 10 digits");
            total = total * 10 + static_cast<std::uint64_t>(rest()[digits] - '0');
            ++digits;
        }
        if (digits == 0)
            return Fail("expected a number");
        if (digits > 1 && rest()[0] == '0')
            return Fail("number with a leading zero");
        if (total > std::numeric_limits<std::uint32_t>::max())
            return Fail("number above 4294967295");
        *value = static_cast<std::uint32_t>(total);
        position_ += digits;
        return true;
    }

    // A Windows language id as the downloader writes it: 1 to 5 digits, no
    // leading zero, at most 65535. Only the form the composer writes is a
    // report, so one report has one text.
    bool LanguageId(std::uint32_t* value)
    {
        if (failed())
            return false;
        std::size_t digits = 0;
        std::uint32_t total = 0;
        while (digits < rest().size() && rest()[digits] >= '0' && rest()[digits] <= '9') {
            if (digits == MAX_LANGUAGE_DIGITS)
                return Fail("more than " + std::to_string(MAX_LANGUAGE_DIGITS) + " digits");
            total = total * 10 + static_cast<std::uint32_t>(rest()[digits] - '0');
            ++digits;
        }
        if (digits == 0)
            return Fail("expected a number");
        if (digits > 1 && rest()[0] == '0')
            return Fail("language id with a leading zero");
        if (total > MAX_LANGUAGE_ID)
            return Fail("language id above 65535");
        *value = total;
        position_ += digits;
        return true;
    }

    // Two lowercase letters.
    bool LanguageCode(std::string* code)
    {
        if (failed())
            return false;
        std::string_view r = rest();
        if (r.size() < 2 || r[0] < 'a' || r[0] > 'z' || r[1] < 'a' || r[1] > 'z')
            return Fail("expected two lowercase letters");
        code->assign(r.substr(0, 2));
        position_ += 2;
        return true;
    }

    void Skip(std::size_t count) { position_ += count; }

private:
    std::string_view query_;
    std::size_t position_ = 0;
    std::string reason_;
};

// "&osversion=" MAJOR "." MINOR "&os=" ("nt" | "win"), then the end.
bool OsFields(Cursor& cursor, Report& report)
{
    cursor.Literal(kOsVersion);
    cursor.Number(&report.osMajor);
    cursor.Literal(".");
    cursor.Number(&report.osMinor);
    cursor.Literal(kOsLine);
    if (cursor.Accept("nt"))
        report.ntLine = true;
    else if (!cursor.Accept("win"))
        return cursor.Fail("expected \"nt\" or \"win\"");
    if (!cursor.failed() && !cursor.rest().empty())
        return cursor.Fail("text after the operating-system fields");
    return !cursor.failed();
}

// The download URL runs to the last "&osversion=": the fields after it hold
// no "&osversion=" of their own, while the URL may.
bool CurrentUrl(Cursor& cursor, Report& report)
{
    if (!cursor.Literal(kCurrentUrl))
        return false;
    std::string_view rest = cursor.rest();
    std::size_t end = rest.rfind(kOsVersion);
    if (end == std::string_view::npos) {
        cursor.Skip(rest.size());
        return cursor.Fail("no \"&osversion=\" after the download URL");
    }
    std::string_view url = rest.substr(0, end);
    std::string_view scheme = StartsWith(url, kScheme)         ? kScheme
                              : StartsWith(url, kSecureScheme) ? kSecureScheme
                                                               : std::string_view{};
    if (scheme.empty())
        return cursor.Fail("download URL without \"http://\" or \"https://\"");
    if (url.find('/', scheme.size()) == std::string_view::npos)
        return cursor.Fail("download URL without \"/\" between host and object");
    // The downloader's texts end at their first NUL; the URL cannot hold one.
    if (url.find('\0') != std::string_view::npos)
        return cursor.Fail("NUL byte in the download URL");
    if (url.size() > MaxCurrentUrlBytes(scheme))
        return cursor.Fail("download URL longer than " + std::to_string(MaxCurrentUrlBytes(scheme)) +
                           " bytes");
    report.currentUrl.assign(url);
    cursor.Skip(end);
    return true;
}

void ResultFields(Cursor& cursor, Report& report)
{
    cursor.Literal(kResultHead);
    if (cursor.Accept(kSuccessFields)) {
        report.kind = ReportKind::Success;
    } else if (cursor.Accept(kFailureFields)) {
        // The downloader reports 0 as a success, never as a failure.
        if (cursor.Number(&report.code) && report.code == 0) {
            cursor.Fail("failure with code 0");
            return;
        }
        cursor.Literal(kDuration);
    } else {
        cursor.Fail("expected \"success&error=...\" or \"failure&error=\"");
        return;
    }
    cursor.Number(&report.seconds);
    cursor.Literal(kTotalBytes);
    cursor.Number(&report.bytes);
    if (CurrentUrl(cursor, report))
        OsFields(cursor, report);
    if (report.kind != ReportKind::Success)
        // A job never ends with 123 after 0 bytes: only the closed window sends that.
        report.kind = report.code == CANCEL_CODE && report.bytes == 0 ? ReportKind::Cancel
                                                                      : ReportKind::Failure;
}

}  // namespace

const char* KindName(ReportKind kind)
{
    switch (kind) {
    case ReportKind::Start: return "start";
    case ReportKind::Success: return "success";
    case ReportKind::Failure: return "failure";
    case ReportKind::Cancel: return "cancel";
    }
    return "?";
}

bool KindOfName(std::string_view name, ReportKind* kind)
{
    for (ReportKind k : {ReportKind::Start, ReportKind::Success, ReportKind::Failure, ReportKind::Cancel})
        if (name == KindName(k)) {
            *kind = k;
            return true;
        }
    return false;
}

ParsedQuery ParseReportQuery(std::string_view query)
{
    ParsedQuery parsed;
    if (query.size() >= MAX_REPORT_QUERY_BYTES) {
        parsed.reason = "query of " + std::to_string(query.size()) + " bytes, longer than any report";
        return parsed;
    }
    Cursor cursor(query);
    Report& report = parsed.report;
    cursor.Literal(kCommonHead);
    cursor.LanguageId(&report.osLanguage);
    cursor.Literal(kCommonTail);
    if (cursor.Accept(kStartHead)) {
        report.kind = ReportKind::Start;
        cursor.LanguageCode(&report.uiLanguage);
        cursor.Literal(kStartTail);
        OsFields(cursor, report);
    } else {
        ResultFields(cursor, report);
    }
    parsed.valid = !cursor.failed();
    if (!parsed.valid) {
        parsed.reason = cursor.reason();
        parsed.report = Report{};
    }
    return parsed;
}

bool ReportQueryOfTarget(std::string_view target, std::string_view* query)
{
    std::string_view path = target;
    if (path.size() >= kScheme.size()) {
        std::string scheme(path.substr(0, kScheme.size()));
        for (char& c : scheme)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (scheme == kScheme) {
            std::size_t slash = path.find('/', kScheme.size());
            if (slash == std::string_view::npos)
                return false;
            path = path.substr(slash);
        }
    }
    std::size_t mark = path.find('?');
    if (path.substr(0, mark) != kReportPath)
        return false;
    *query = mark == std::string_view::npos ? std::string_view{} : path.substr(mark + 1);
    return true;
}

}  // namespace lvcollect
