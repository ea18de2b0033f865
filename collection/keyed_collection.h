// The ordered keyed collection behind Tasks and Triggers: object references
// in insertion order, each with an optional String key. Lookups take a
// position (a number, from 1) or a key; keys compare without regard to
// letter case, beyond ASCII too. Missing key: error 5; position outside 1 to
// the count: error 9; a key added twice: error 457. Removing an entry moves
// the later ones down by one.
//
// Key lookups go through a hash of the folded key, so Item and Exists cost
// the same on thirty thousand entries as on three; neither adding nor
// looking up builds a folded copy of a key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/name_case.h"
#include "service/platform.h"
#include "trace/error.h"

namespace velqosch {

// A counted reference to a COM object: releases what it holds.
template <class T>
class ComRef {
public:
    ComRef() noexcept = default;
    ComRef(std::nullptr_t) noexcept {}
    // Takes over a reference the caller already owns.
    static ComRef Adopt(T *p) noexcept {
        ComRef r;
        r.p_ = p;
        return r;
    }
    // Adds a reference of its own.
    static ComRef Share(T *p) noexcept {
        if (p) p->AddRef();
        return Adopt(p);
    }
    ComRef(const ComRef &o) noexcept : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    ComRef(ComRef &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComRef &operator=(ComRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComRef() {
        if (p_) p_->Release();
    }
    T *get() const noexcept { return p_; }
    T *operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    T *Detach() noexcept { return std::exchange(p_, nullptr); }
    // Drops what is held and gives the slot for an out-parameter.
    T **Out() noexcept {
        reset();
        return &p_;
    }
    void reset() noexcept {
        if (T *p = std::exchange(p_, nullptr)) p->Release();
    }

private:
    T *p_ = nullptr;
};

// The simple case folding of one UTF-16 unit (the BMP letters of Latin,
// Greek, Cyrillic, Armenian, Georgian, Glagolitic, the letter-like symbols
// and the full-width forms). Units without a folding come back unchanged.
char16_t FoldCase(char16_t unit) noexcept;
// The folded form of a key: two keys are the same key when their folded
// forms are equal.
std::u16string FoldKey(std::u16string_view key);

// A lookup argument: a position or a key.
struct IndexKey {
    bool isKey = false;
    LONG position = 0;
    std::u16string key;
};
// Reads a lookup argument from a VARIANT: a string (VT_BSTR) is a key; a
// number (VT_I1..VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY, VT_BOOL) is a
// position, fractions rounded half to even as automation converts them; the
// by-reference forms and VT_VARIANT references are followed. A number beyond
// the 32-bit range raises error 6, any other type error 13, a null reference
// E_POINTER.
IndexKey ReadIndexKey(const VARIANT *value);

// The lookup rule of Exists: true when lookup() succeeds, false when it fails
// with error 5, any other error passes on unchanged.
template <class Lookup>
bool KeyLookupSucceeds(Lookup &&lookup) {
    try {
        lookup();
        return true;
    } catch (const ComponentError &e) {
        if (e.record().number == kErrInvalidCall) return false;
        throw;
    }
}

// An enumerator over a fixed list of objects, handed out as VARIANTs of
// type VT_DISPATCH in list order.
ComRef<IEnumVARIANT> NewObjectEnumerator(std::vector<ComRef<IDispatch>> items);

// The hash of a key that two keys share when they are the same key: over
// the folded units, without building the folded form.
inline std::uint64_t KeyHash(std::u16string_view key) noexcept {
    std::uint64_t h = 14695981039346656037ull;
    for (const char16_t unit : key) h = (h ^ velqo::FoldLetterCase(unit)) * 1099511628211ull;
    return h;
}

template <class T>
class KeyedCollection {
public:
    KeyedCollection() = default;
    KeyedCollection(KeyedCollection &&) noexcept = default;
    KeyedCollection &operator=(KeyedCollection &&) noexcept = default;
    KeyedCollection(const KeyedCollection &) = delete;
    KeyedCollection &operator=(const KeyedCollection &) = delete;

    LONG Count() const noexcept { return static_cast<LONG>(entries_.size()); }

    // Room for `count` entries, so that adding that many allocates nothing.
    void Reserve(std::size_t count) {
        entries_.reserve(count);
        if (SlotsFor(count) > slots_.size()) Rehash(SlotsFor(count));
    }

    // Appends item, under key when one is given. Error 457 when the key is
    // present already; the collection is then unchanged.
    void Add(ComRef<T> item, const std::u16string *key = nullptr) {
        if (key)
            AddEntry(std::move(item), std::u16string(*key), true);
        else
            AddEntry(std::move(item), std::u16string(), false);
    }
    // The same with a key that the collection takes over.
    void Add(ComRef<T> item, std::u16string &&key) { AddEntry(std::move(item), std::move(key), true); }

    T *ItemAt(LONG position) const { return entries_[IndexOfPosition(position)].item.get(); }
    T *ItemByKey(std::u16string_view key) const { return entries_[FindKey(key)].item.get(); }
    T *Item(const IndexKey &index) const { return index.isKey ? ItemByKey(index.key) : ItemAt(index.position); }
    T *Item(const VARIANT *index) const { return Item(ReadIndexKey(index)); }
    bool ContainsKey(std::u16string_view key) const { return Lookup(key, KeyHash(key)) != kNone; }

    void RemoveAt(LONG position) { Erase(IndexOfPosition(position)); }
    void RemoveByKey(std::u16string_view key) { Erase(FindKey(key)); }
    void Remove(const IndexKey &index) {
        if (index.isKey)
            RemoveByKey(index.key);
        else
            RemoveAt(index.position);
    }

    // Empties the collection before the entries' references are released, so
    // that a destructor that comes back to it finds it empty.
    void Clear() noexcept {
        std::vector<Entry> gone;
        gone.swap(entries_);
        slots_.clear();
        keys_ = 0;
    }

    // The objects in collection order, each with a reference of its own.
    template <class U = T>
    std::vector<ComRef<U>> Snapshot() const {
        std::vector<ComRef<U>> out;
        out.reserve(entries_.size());
        for (const Entry &e : entries_) out.push_back(ComRef<U>::Share(e.item.get()));
        return out;
    }

private:
    // Entries are kept in collection order; the key index is an open-address
    // table (linear probing, at most half full) of entry positions plus one,
    // 0 for a free slot.
    struct Entry {
        ComRef<T> item;
        std::u16string key;  // as added
        std::uint64_t hash = 0;
        bool hasKey = false;
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    static std::size_t SlotsFor(std::size_t keys) {
        std::size_t slots = 16;
        while (slots < 2 * keys) slots *= 2;
        return slots;
    }

    void AddEntry(ComRef<T> item, std::u16string &&key, bool hasKey) {
        Entry entry{std::move(item), std::move(key), 0, hasKey};
        if (hasKey) {
            entry.hash = KeyHash(entry.key);
            if (Lookup(entry.key, entry.hash) != kNone) RaiseStandard(kErrKeyInUse);
        }
        // Room first (growing geometrically), so that nothing can fail
        // between indexing the key and storing the entry.
        if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.empty() ? 2 : 2 * entries_.size());
        if (hasKey && SlotsFor(keys_ + 1) > slots_.size()) Rehash(SlotsFor(keys_ + 1));
        if (hasKey) {
            Place(entry.hash, static_cast<std::uint32_t>(entries_.size() + 1));
            ++keys_;
        }
        entries_.push_back(std::move(entry));
    }

    void Place(std::uint64_t hash, std::uint32_t value) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(hash) & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = value;
    }

    void Rehash(std::size_t size) {
        std::vector<std::uint32_t> fresh(size, 0);
        fresh.swap(slots_);
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].hasKey) Place(entries_[i].hash, static_cast<std::uint32_t>(i + 1));
    }

    // The position of the entry of `key`, or kNone.
    std::size_t Lookup(std::u16string_view key, std::uint64_t hash) const noexcept {
        if (slots_.empty()) return kNone;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(hash) & mask; slots_[i] != 0; i = (i + 1) & mask) {
            const Entry &e = entries_[slots_[i] - 1];
            if (e.hash == hash && velqo::SameNameIgnoringCase(e.key, key)) return slots_[i] - 1;
        }
        return kNone;
    }

    std::size_t IndexOfPosition(LONG position) const {
        if (position < 1 || static_cast<std::size_t>(position) > entries_.size()) RaiseStandard(kErrSubscript);
        return static_cast<std::size_t>(position - 1);
    }
    std::size_t FindKey(std::u16string_view key) const {
        const std::size_t at = Lookup(key, KeyHash(key));
        if (at == kNone) RaiseStandard(kErrInvalidCall);
        return at;
    }

    void Erase(std::size_t index) {
        if (entries_[index].hasKey) {
            // Out of the table, the probe runs after it closed up behind it.
            const std::size_t mask = slots_.size() - 1;
            std::size_t hole = static_cast<std::size_t>(entries_[index].hash) & mask;
            while (slots_[hole] != index + 1) hole = (hole + 1) & mask;
            for (std::size_t next = (hole + 1) & mask; slots_[next] != 0; next = (next + 1) & mask) {
                const std::size_t home = static_cast<std::size_t>(entries_[slots_[next] - 1].hash) & mask;
                // Moves back when its home is not within (hole, next].
                if (((next - home) & mask) >= ((next - hole) & mask)) {
                    slots_[hole] = slots_[next];
                    hole = next;
                }
            }
            slots_[hole] = 0;
            --keys_;
        }
        // The later entries move down by one.
        for (std::uint32_t &slot : slots_)
            if (slot > index + 1) --slot;
        // The entry's reference is released after the bookkeeping is done, so
        // a destructor that comes back to the collection finds it consistent.
        ComRef<T> gone = std::move(entries_[index].item);
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;
    std::size_t keys_ = 0;
};

}  // namespace velqosch
