// Text forms of numbers and dates in variant conversions. The forms are the
// United States English ones ('.' as the decimal separator, month/day/year,
// 12-hour clock), whatever the locale.
#include "internal.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

namespace velqo::rt {
namespace {

bool IsSpace(char16_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == 0x00A0; }
bool IsDigit(char16_t c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char16_t Lower(char16_t c) { return c >= 'A' && c <= 'Z' ? char16_t(c - 'A' + 'a') : c; }

std::u16string Trimmed(const OLECHAR *text) {
    std::u16string s = text ? text : u"";
    std::size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

}  // namespace

HRESULT ParseNumber(const OLECHAR *text, double *value, bool *integral, LONGLONG *integer) {
    std::u16string s = Trimmed(text);
    *integral = false;
    if (s.empty()) return DISP_E_TYPEMISMATCH;
    // &H hexadecimal and &O octal integers.
    if (s.size() > 2 && s[0] == '&' && (Lower(s[1]) == 'h' || Lower(s[1]) == 'o')) {
        unsigned base = Lower(s[1]) == 'h' ? 16 : 8;
        unsigned long long v = 0;
        for (std::size_t i = 2; i < s.size(); ++i) {
            int d = IsDigit(s[i]) ? s[i] - '0' : (Lower(s[i]) >= 'a' && Lower(s[i]) <= 'f') ? Lower(s[i]) - 'a' + 10 : 99;
            if (unsigned(d) >= base || v > (~0ULL - unsigned(d)) / base) return DISP_E_TYPEMISMATCH;
            v = v * base + unsigned(d);
        }
        if (v > 0x7FFFFFFFFFFFFFFFULL) return DISP_E_OVERFLOW;
        *value = double(v);
        *integral = true;
        *integer = LONGLONG(v);
        return S_OK;
    }
    // [sign] digits with ',' group separators [. digits] [E|D [sign] digits]
    std::string ascii;
    std::size_t i = 0;
    if (s[i] == '+' || s[i] == '-') {
        if (s[i] == '-') ascii.push_back('-');
        ++i;
    }
    bool digits = false, fraction = false, exponent = false;
    for (; i < s.size() && (IsDigit(s[i]) || (s[i] == ',' && digits)); ++i)
        if (s[i] != ',') ascii.push_back(char(s[i])), digits = true;
    if (i < s.size() && s[i] == '.') {
        ascii.push_back('.');
        ++i;
        for (; i < s.size() && IsDigit(s[i]); ++i) ascii.push_back(char(s[i])), digits = true, fraction = true;
    }
    if (!digits) return DISP_E_TYPEMISMATCH;
    if (i < s.size() && (Lower(s[i]) == 'e' || Lower(s[i]) == 'd')) {
        ascii.push_back('e');
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ascii.push_back(char(s[i++]));
        bool expDigits = false;
        for (; i < s.size() && IsDigit(s[i]); ++i) ascii.push_back(char(s[i])), expDigits = true;
        if (!expDigits) return DISP_E_TYPEMISMATCH;
        exponent = true;
    }
    if (i != s.size()) return DISP_E_TYPEMISMATCH;
    double d = 0;
    auto r = std::from_chars(ascii.data(), ascii.data() + ascii.size(), d);
    if (r.ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
    if (r.ec != std::errc() || r.ptr != ascii.data() + ascii.size()) return DISP_E_TYPEMISMATCH;
    *value = d;
    if (!fraction && !exponent) {
        std::string whole = ascii.substr(0, ascii.find('.'));
        LONGLONG n = 0;
        auto ri = std::from_chars(whole.data(), whole.data() + whole.size(), n);
        if (ri.ec == std::errc() && ri.ptr == whole.data() + whole.size()) {
            *integral = true;
            *integer = n;
        }
    }
    return S_OK;
}

std::u16string FormatDouble(double value, int significantDigits) {
    if (std::isnan(value)) return u"NaN";
    if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, significantDigits);
    std::u16string out;
    for (char *p = buf; p != r.ptr; ++p) out.push_back(*p == 'e' ? u'E' : char16_t(*p));
    if (out == u"-0") out = u"0";
    return out;
}

namespace {

int MonthFromName(const std::u16string &word) {
    static const char *const kMonths[12] = {"january", "february", "march",     "april",   "may",      "june",
                                            "july",    "august",   "september", "october", "november", "december"};
    if (word.size() < 3) return 0;
    for (int m = 0; m < 12; ++m) {
        std::string name = kMonths[m];
        if (word.size() > name.size()) continue;
        bool match = true;
        for (std::size_t i = 0; i < word.size() && match; ++i) match = Lower(word[i]) == char16_t(name[i]);
        if (match) return m + 1;
    }
    return 0;
}

struct DateNumber {
    long value;
    std::size_t digits;
};

long FullYear(const DateNumber &n) {
    if (n.digits <= 2) return n.value < 30 ? 2000 + n.value : 1900 + n.value;
    return n.value;
}

long CurrentYear() {
    time_t now = time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm.tm_year + 1900L;
}

}  // namespace

HRESULT ParseDate(const OLECHAR *text, DATE *value) {
    std::u16string s = Trimmed(text);
    if (s.empty()) return DISP_E_TYPEMISMATCH;
    std::vector<DateNumber> numbers;
    int monthName = 0;
    bool haveTime = false, lastWasNumber = false;
    long hour = 0, minute = 0, second = 0;
    int meridiem = 0;  // 0 none, 1 AM, 2 PM
    std::size_t i = 0;
    auto readNumber = [&](DateNumber *n) {
        n->value = 0;
        n->digits = 0;
        while (i < s.size() && IsDigit(s[i]) && n->digits < 9) n->value = n->value * 10 + (s[i++] - '0'), ++n->digits;
        return n->digits > 0 && !(i < s.size() && IsDigit(s[i]));
    };
    while (i < s.size()) {
        char16_t c = s[i];
        if (IsSpace(c) || c == ',') {
            ++i;
            continue;
        }
        if (IsDigit(c)) {
            DateNumber n;
            if (!readNumber(&n)) return DISP_E_TYPEMISMATCH;
            if (i < s.size() && s[i] == ':') {
                if (haveTime) return DISP_E_TYPEMISMATCH;
                haveTime = true;
                hour = n.value;
                ++i;
                DateNumber m;
                if (!readNumber(&m) || m.digits > 2) return DISP_E_TYPEMISMATCH;
                minute = m.value;
                if (i < s.size() && s[i] == ':') {
                    ++i;
                    DateNumber sec;
                    if (!readNumber(&sec) || sec.digits > 2) return DISP_E_TYPEMISMATCH;
                    second = sec.value;
                }
                lastWasNumber = false;
                continue;
            }
            numbers.push_back(n);
            lastWasNumber = true;
            if (i < s.size() && (s[i] == '/' || s[i] == '-' || s[i] == '.')) ++i;
            continue;
        }
        if (IsAlpha(c)) {
            std::u16string word;
            while (i < s.size() && IsAlpha(s[i])) word.push_back(Lower(s[i++]));
            if (word == u"am" || word == u"a" || word == u"pm" || word == u"p") {
                if (meridiem) return DISP_E_TYPEMISMATCH;
                meridiem = word[0] == 'a' ? 1 : 2;
                if (!haveTime) {
                    // "9 AM": the number just before is the hour.
                    if (!lastWasNumber || numbers.empty()) return DISP_E_TYPEMISMATCH;
                    hour = numbers.back().value;
                    numbers.pop_back();
                    haveTime = true;
                }
            } else if (word == u"t" && !haveTime && numbers.size() == 3) {
                // The separator of the ISO form 2026-12-06T09:30.
            } else if (int m = MonthFromName(word); m && !monthName) {
                monthName = m;
            } else {
                return DISP_E_TYPEMISMATCH;
            }
            lastWasNumber = false;
            if (i < s.size() && (s[i] == '-' || s[i] == '.')) ++i;
            continue;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (meridiem) {
        if (hour < 1 || hour > 12) return DISP_E_TYPEMISMATCH;
        hour = hour % 12 + (meridiem == 2 ? 12 : 0);
    }
    if (hour > 23 || minute > 59 || second > 59) return DISP_E_TYPEMISMATCH;

    long year = 0, month = 0, day = 0;
    bool haveDate = true;
    if (monthName) {
        month = monthName;
        if (numbers.size() == 1) {
            day = numbers[0].value, year = CurrentYear();
        } else if (numbers.size() == 2) {
            bool firstIsYear = numbers[0].digits > 2 || numbers[0].value > 31;
            const DateNumber &d = firstIsYear ? numbers[1] : numbers[0];
            const DateNumber &y = firstIsYear ? numbers[0] : numbers[1];
            day = d.value, year = FullYear(y);
        } else {
            return DISP_E_TYPEMISMATCH;
        }
    } else if (numbers.empty()) {
        if (!haveTime) return DISP_E_TYPEMISMATCH;
        haveDate = false;
    } else if (numbers.size() == 2) {
        if (numbers[0].digits > 2) {
            year = numbers[0].value, month = numbers[1].value, day = 1;
        } else {
            month = numbers[0].value, day = numbers[1].value, year = CurrentYear();
        }
    } else if (numbers.size() == 3) {
        if (numbers[0].digits > 2) {
            year = numbers[0].value, month = numbers[1].value, day = numbers[2].value;
        } else {
            month = numbers[0].value, day = numbers[1].value, year = FullYear(numbers[2]);
        }
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    double days = 0;
    if (haveDate) {
        // Day and month swap when only the other order is a date (13/6/2026).
        if (month > 12 && day >= 1 && day <= 12) std::swap(month, day);
        if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
            day > long(DaysInMonth(year, unsigned(month))))
            return DISP_E_TYPEMISMATCH;
        days = double(DaysFromCivil(year, unsigned(month), unsigned(day)));
    }
    double time = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
    *value = days < 0 ? days - time : days + time;
    return S_OK;
}

HRESULT FormatDate(DATE value, std::u16string *text) {
    SYSTEMTIME st;
    if (!VariantTimeToSystemTime(value, &st)) return E_INVALIDARG;
    bool epochDay = st.wYear == 1899 && st.wMonth == 12 && st.wDay == 30;
    bool midnight = st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0;
    std::string out;
    if (!epochDay)
        out = std::to_string(st.wMonth) + "/" + std::to_string(st.wDay) + "/" + std::to_string(st.wYear);
    if (epochDay || !midnight) {
        char buf[32];
        int h12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, st.wMinute, st.wSecond, st.wHour < 12 ? "AM" : "PM");
        if (!out.empty()) out += ' ';
        out += buf;
    }
    *text = std::u16string(out.begin(), out.end());
    return S_OK;
}

}  // namespace velqo::rt
