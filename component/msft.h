// The binary type library file ("MSFT" layout) as widl writes it, read into
// its parts, changed and written back: the header with the type description
// offsets, the segment directory, the segments (names, strings, type
// descriptions ...) and, per type description, the block of member records
// (functions, then variables) with their identifiers, names and record
// offsets.
//
// Host code: it includes no platform header, so the build machine's compiler
// builds it whatever the target is (tlbfinish), and the POSIX tests read the
// built library with it. Every read is bounds-checked; a file that does not
// follow the layout is refused with a message, never read past its end.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace velqo::msft {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kHeaderSize = 0x54;
inline constexpr std::size_t kSegments = 15;
inline constexpr std::size_t kTypeInfoSize = 0x64;
enum Segment : std::size_t { kTypeInfoSegment = 0, kNameSegment = 7, kStringSegment = 8 };
inline constexpr std::int32_t kParamRetval = 0x8;  // PARAMFLAG_FRETVAL
inline constexpr std::int32_t kEnumKind = 0;       // TKIND_ENUM

inline std::int32_t Get32(const Bytes &b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    return static_cast<std::int32_t>(v);
}
inline void Put32(Bytes &b, std::size_t at, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Append32(Bytes &b, std::int32_t value) {
    b.resize(b.size() + 4);
    Put32(b, b.size() - 4, value);
}

// The member records of one type description.
struct Members {
    std::size_t funcs = 0, vars = 0;
    Bytes records;                      // function records, then variable records
    std::vector<std::int32_t> ids;      // member identifiers, functions first
    std::vector<std::int32_t> names;    // offsets in the name segment
    std::vector<std::int32_t> offsets;  // offsets of the records in `records`
};

struct Library {
    Bytes head;  // header, help-string-DLL offset, type description offsets
    std::array<std::int32_t, kSegments * 4> directory{};
    std::array<Bytes, kSegments> segments;
    std::vector<std::size_t> order;  // the segments present, in file order
    std::vector<Members> members;    // one per type description

    std::size_t TypeInfoCount() const { return members.size(); }
    std::int32_t TypeInfoField(std::size_t info, std::size_t field) const {
        return Get32(segments[kTypeInfoSegment], info * kTypeInfoSize + field);
    }
    int Kind(std::size_t info) const { return TypeInfoField(info, 0) & 0xf; }

    // A name of the name segment (length in the low byte of its third word), "" when out of range.
    std::string Name(std::int32_t offset) const {
        const Bytes &n = segments[kNameSegment];
        if (offset < 0 || static_cast<std::size_t>(offset) + 12 > n.size()) return {};
        const std::size_t at = static_cast<std::size_t>(offset), len = n[at + 8];
        if (at + 12 + len > n.size()) return {};
        return std::string(n.begin() + static_cast<std::ptrdiff_t>(at + 12),
                           n.begin() + static_cast<std::ptrdiff_t>(at + 12 + len));
    }
    // A string of the string segment (16-bit length, then the characters), "" when out of range.
    std::string String(std::int32_t offset) const {
        const Bytes &s = segments[kStringSegment];
        if (offset < 0 || static_cast<std::size_t>(offset) + 2 > s.size()) return {};
        const std::size_t at = static_cast<std::size_t>(offset), len = s[at] | (s[at + 1] << 8);
        if (at + 2 + len > s.size()) return {};
        return std::string(s.begin() + static_cast<std::ptrdiff_t>(at + 2),
                           s.begin() + static_cast<std::ptrdiff_t>(at + 2 + len));
    }
    // The offset of `text` in the string segment, appended when it is not there yet. An entry is its
    // length, the characters and padding to a multiple of 4 bytes, 8 at least.
    std::int32_t AddString(const std::string &text) {
        Bytes &s = segments[kStringSegment];
        auto piece = [](std::size_t len) { return std::max<std::size_t>(8, (len + 2 + 3) & ~std::size_t{3}); };
        for (std::size_t at = 0; at + 2 <= s.size();) {
            const std::size_t len = s[at] | (s[at + 1] << 8);
            if (len == text.size() && at + 2 + len <= s.size() && std::memcmp(&s[at + 2], text.data(), len) == 0)
                return static_cast<std::int32_t>(at);
            at += piece(len);
        }
        const std::size_t at = s.size();
        s.resize(at + piece(text.size()), 0x57);
        s[at] = static_cast<std::uint8_t>(text.size() & 0xff);
        s[at + 1] = static_cast<std::uint8_t>(text.size() >> 8);
        std::memcpy(&s[at + 2], text.data(), text.size());
        return static_cast<std::int32_t>(at);
    }
};

// Reads `file` into `lib`; false with `error` set when it does not follow the layout.
inline bool Read(const Bytes &file, Library &lib, std::string &error) {
    auto fail = [&](const char *what) {
        error = what;
        return false;
    };
    if (file.size() < kHeaderSize || std::memcmp(file.data(), "MSFT", 4) != 0) return fail("not a type library");
    const std::int32_t count = Get32(file, 0x20), varflags = Get32(file, 0x14);
    if (count < 0 || count > 0x10000) return fail("bad type description count");
    const std::size_t headSize = kHeaderSize + ((varflags & 0x100) ? 4 : 0) + 4 * static_cast<std::size_t>(count);
    const std::size_t directoryEnd = headSize + 16 * kSegments;
    if (file.size() < directoryEnd) return fail("truncated segment directory");
    lib = Library{};
    lib.head.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(headSize));
    for (std::size_t i = 0; i < lib.directory.size(); ++i) lib.directory[i] = Get32(file, headSize + 4 * i);

    std::vector<std::pair<std::size_t, std::size_t>> placed;  // offset, segment
    for (std::size_t s = 0; s < kSegments; ++s) {
        const std::int32_t offset = lib.directory[4 * s], length = lib.directory[4 * s + 1];
        if (offset == -1) {
            if (length != 0) return fail("segment without an offset has a length");
            continue;
        }
        if (offset < 0 || length < 0 ||
            static_cast<std::size_t>(offset) + static_cast<std::size_t>(length) > file.size())
            return fail("segment outside the file");
        placed.emplace_back(static_cast<std::size_t>(offset), s);
        lib.segments[s].assign(file.begin() + offset, file.begin() + offset + length);
    }
    std::sort(placed.begin(), placed.end());
    std::size_t cursor = directoryEnd;
    for (const auto &[offset, s] : placed) {
        if (offset != cursor) return fail("segments are not contiguous after the directory");
        cursor += lib.segments[s].size();
        lib.order.push_back(s);
    }
    if (lib.segments[kTypeInfoSegment].size() != kTypeInfoSize * static_cast<std::size_t>(count))
        return fail("type description segment does not match the count");

    // The member blocks follow the segments, one per type description that has members, in order.
    lib.members.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < lib.members.size(); ++i) {
        Members &m = lib.members[i];
        const std::uint32_t elements = static_cast<std::uint32_t>(lib.TypeInfoField(i, 0x18));
        m.funcs = elements & 0xffff;
        m.vars = elements >> 16;
        const std::size_t n = m.funcs + m.vars;
        if (n == 0) continue;
        if (static_cast<std::size_t>(lib.TypeInfoField(i, 4)) != cursor) return fail("member block out of place");
        if (cursor + 4 > file.size()) return fail("truncated member block");
        const std::int32_t length = Get32(file, cursor);
        if (length < 0 || cursor + 4 + static_cast<std::size_t>(length) + 12 * n > file.size())
            return fail("truncated member block");
        const std::size_t records = cursor + 4, tables = records + static_cast<std::size_t>(length);
        m.records.assign(file.begin() + static_cast<std::ptrdiff_t>(records),
                         file.begin() + static_cast<std::ptrdiff_t>(tables));
        for (std::size_t k = 0; k < n; ++k) {
            m.ids.push_back(Get32(file, tables + 4 * k));
            m.names.push_back(Get32(file, tables + 4 * (n + k)));
            m.offsets.push_back(Get32(file, tables + 4 * (2 * n + k)));
        }
        for (std::size_t k = 0; k < n; ++k) {
            const std::int32_t at = m.offsets[k];
            if (at < 0 || static_cast<std::size_t>(at) + 4 > m.records.size())
                return fail("member record outside its block");
            const std::size_t size = static_cast<std::size_t>(Get32(m.records, static_cast<std::size_t>(at)) & 0xffff);
            if (size < 20 || static_cast<std::size_t>(at) + size > m.records.size())
                return fail("member record outside its block");
            if (k < m.funcs) {
                const std::size_t args =
                    m.records[static_cast<std::size_t>(at) + 20] | (m.records[static_cast<std::size_t>(at) + 21] << 8);
                if (size < 24 + 12 * args) return fail("function record too short for its parameters");
            }
        }
        cursor = tables + 12 * n;
    }
    if (cursor != file.size()) return fail("unexpected data after the member blocks");
    return true;
}

// The file of `lib`: segments in their file order right after the directory, then the member blocks.
inline Bytes Write(Library lib) {
    std::size_t pos = lib.head.size() + 16 * kSegments;
    for (std::size_t s : lib.order) {
        lib.directory[4 * s] = static_cast<std::int32_t>(pos);
        lib.directory[4 * s + 1] = static_cast<std::int32_t>(lib.segments[s].size());
        pos += lib.segments[s].size();
    }
    for (std::size_t i = 0; i < lib.members.size(); ++i) {
        const Members &m = lib.members[i];
        Put32(lib.segments[kTypeInfoSegment], i * kTypeInfoSize + 4, static_cast<std::int32_t>(pos));
        if (m.funcs + m.vars) pos += 4 + m.records.size() + 12 * (m.funcs + m.vars);
    }
    Bytes out = lib.head;
    for (std::int32_t v : lib.directory) Append32(out, v);
    for (std::size_t s : lib.order) out.insert(out.end(), lib.segments[s].begin(), lib.segments[s].end());
    for (const Members &m : lib.members) {
        if (m.funcs + m.vars == 0) continue;
        Append32(out, static_cast<std::int32_t>(m.records.size()));
        out.insert(out.end(), m.records.begin(), m.records.end());
        for (const auto *table : {&m.ids, &m.names, &m.offsets})
            for (std::int32_t v : *table) Append32(out, v);
    }
    return out;
}

// Calls f(record offset, parameter index, parameter offset) for every parameter of every function of `m`.
template <class F>
void ForEachParameter(const Members &m, F f) {
    for (std::size_t k = 0; k < m.funcs; ++k) {
        const std::size_t at = static_cast<std::size_t>(m.offsets[k]);
        const std::size_t size = static_cast<std::size_t>(Get32(m.records, at) & 0xffff);
        const std::size_t args = m.records[at + 20] | (m.records[at + 21] << 8);
        for (std::size_t p = 0; p < args; ++p) f(k, p, at + size - 12 * (args - p));
    }
}

// A variable record's help string offset, -1 when the record has none.
inline std::int32_t VarHelpString(const Members &m, std::size_t var) {
    const std::size_t at = static_cast<std::size_t>(m.offsets[m.funcs + var]);
    const std::size_t size = static_cast<std::size_t>(Get32(m.records, at) & 0xff);
    return size >= 0x1c ? Get32(m.records, at + 0x18) : -1;
}

// What widl leaves out: a return value without a parameter name, and each enumeration constant with its own name
// as its help string. Applying it twice changes nothing more.
inline void Finish(Library &lib) {
    for (std::size_t i = 0; i < lib.TypeInfoCount(); ++i) {
        Members &m = lib.members[i];
        ForEachParameter(m, [&](std::size_t, std::size_t, std::size_t param) {
            if (Get32(m.records, param + 8) & kParamRetval) Put32(m.records, param + 4, -1);
        });
        if (lib.Kind(i) != kEnumKind || m.funcs != 0) continue;
        // Variable record: size and index, type, flags, kind, value; then help context and help string.
        Bytes records;
        for (std::size_t k = 0; k < m.vars; ++k) {
            const std::size_t at = static_cast<std::size_t>(m.offsets[k]);
            const std::int32_t info = Get32(m.records, at);
            const std::size_t size = static_cast<std::size_t>(info & 0xffff);
            Bytes record(m.records.begin() + static_cast<std::ptrdiff_t>(at),
                         m.records.begin() + static_cast<std::ptrdiff_t>(at + size));
            if (record.size() < 0x18) Append32(record, 0);
            if (record.size() < 0x1c) Append32(record, -1);
            if (Get32(record, 0x18) == -1) Put32(record, 0x18, lib.AddString(lib.Name(m.names[k])));
            Put32(record, 0, static_cast<std::int32_t>((info & ~0xffff) | static_cast<std::int32_t>(record.size())));
            m.offsets[k] = static_cast<std::int32_t>(records.size());
            records.insert(records.end(), record.begin(), record.end());
        }
        m.records = std::move(records);
    }
}

}  // namespace velqo::msft
