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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
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

    // Room for `count` entries, so that adding that many allocates nothing;
    // with `withKeys`, room for as many keys too.
    void Reserve(std::size_t count, bool withKeys = true) {
        entries_.reserve(count);
        if (withKeys && SlotsFor(count) > SlotCount()) Rehash(SlotsFor(count));
    }

    // Appends item, under key when one is given. Error 457 when the key is
    // present already; the collection is then unchanged.
    void Add(ComRef<T> item, const std::u16string *key = nullptr) {
        if (key)
            AddEntry(std::move(item), *key, true);
        else
            AddEntry(std::move(item), {}, false);
    }
    // The same with a key that the collection copies.
    void Add(ComRef<T> item, std::u16string_view key) { AddEntry(std::move(item), key, true); }

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
        keys_.reset();
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
    // Entries are kept in collection order. What only keys need is made with
    // the first key: the index, an open-address table (linear probing, at
    // most half full) of entry positions plus one, 0 for a free slot; and the
    // keys' text, back to back in one buffer, each entry naming its part. A
    // removed key's text stays there until unused text outweighs the rest.
    static constexpr std::uint32_t kNoKey = static_cast<std::uint32_t>(-1);
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    struct Entry {
        ComRef<T> item;
        std::uint64_t hash = 0;
        std::uint32_t keyAt = kNoKey;  // where the key (as added) starts in the text
        std::uint32_t keyLength = 0;
        bool HasKey() const noexcept { return keyAt != kNoKey; }
    };
    struct Keys {
        std::vector<std::uint32_t> slots;
        std::u16string text;
        std::size_t count = 0;   // keys indexed
        std::size_t unused = 0;  // units of text that belong to removed keys
    };

    static std::size_t SlotsFor(std::size_t keys) {
        std::size_t slots = 16;
        while (slots < 2 * keys) slots *= 2;
        return slots;
    }
    std::size_t SlotCount() const noexcept { return keys_ ? keys_->slots.size() : 0; }
    std::u16string_view KeyOf(const Entry &e) const noexcept { return {keys_->text.data() + e.keyAt, e.keyLength}; }

    void AddEntry(ComRef<T> item, std::u16string_view key, bool hasKey) {
        Entry entry{std::move(item), 0, kNoKey, 0};
        if (hasKey) {
            entry.hash = KeyHash(key);
            if (Lookup(key, entry.hash) != kNone) RaiseStandard(kErrKeyInUse);
        }
        // Room first (growing geometrically), so that nothing can fail
        // between indexing the key and storing the entry.
        if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.empty() ? 2 : 2 * entries_.size());
        if (hasKey) {
            const std::size_t keys = keys_ ? keys_->count : 0;
            if (SlotsFor(keys + 1) > SlotCount()) Rehash(SlotsFor(keys + 1));
            std::u16string &text = keys_->text;
            if (key.size() >= kNoKey - text.size()) RaiseHResult(E_OUTOFMEMORY);
            const std::size_t at = text.size();
            if (at + key.size() > text.capacity()) {
                std::u16string grown;  // `key` may be part of the old text
                grown.reserve(std::max(at + key.size(), 2 * text.capacity()));
                grown.append(text).append(key);
                text.swap(grown);
            } else {
                text.append(key);
            }
            entry.keyAt = static_cast<std::uint32_t>(at);
            entry.keyLength = static_cast<std::uint32_t>(key.size());
            Place(entry.hash, static_cast<std::uint32_t>(entries_.size() + 1));
            ++keys_->count;
        }
        entries_.push_back(std::move(entry));
    }

    void Place(std::uint64_t hash, std::uint32_t value) noexcept {
        std::vector<std::uint32_t> &slots = keys_->slots;
        const std::size_t mask = slots.size() - 1;
        std::size_t i = static_cast<std::size_t>(hash) & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = value;
    }

    void Rehash(std::size_t size) {
        if (!keys_) keys_ = std::make_unique<Keys>();
        std::vector<std::uint32_t> fresh(size, 0);
        fresh.swap(keys_->slots);
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].HasKey()) Place(entries_[i].hash, static_cast<std::uint32_t>(i + 1));
    }

    // The position of the entry of `key`, or kNone.
    std::size_t Lookup(std::u16string_view key, std::uint64_t hash) const noexcept {
        if (!keys_ || keys_->slots.empty()) return kNone;
        const std::vector<std::uint32_t> &slots = keys_->slots;
        const std::size_t mask = slots.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(hash) & mask; slots[i] != 0; i = (i + 1) & mask) {
            const Entry &e = entries_[slots[i] - 1];
            if (e.hash == hash && velqo::SameNameIgnoringCase(KeyOf(e), key)) return slots[i] - 1;
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
        if (entries_[index].HasKey()) {
            // Out of the table, the probe runs after it closed up behind it.
            std::vector<std::uint32_t> &slots = keys_->slots;
            const std::size_t mask = slots.size() - 1;
            std::size_t hole = static_cast<std::size_t>(entries_[index].hash) & mask;
            while (slots[hole] != index + 1) hole = (hole + 1) & mask;
            for (std::size_t next = (hole + 1) & mask; slots[next] != 0; next = (next + 1) & mask) {
                const std::size_t home = static_cast<std::size_t>(entries_[slots[next] - 1].hash) & mask;
                // Moves back when its home is not within (hole, next].
                if (((next - home) & mask) >= ((next - hole) & mask)) {
                    slots[hole] = slots[next];
                    hole = next;
                }
            }
            slots[hole] = 0;
            --keys_->count;
            keys_->unused += entries_[index].keyLength;
        }
        // The later entries move down by one.
        if (keys_)
            for (std::uint32_t &slot : keys_->slots)
                if (slot > index + 1) --slot;
        // The entry's reference is released after the bookkeeping is done, so
        // a destructor that comes back to the collection finds it consistent.
        ComRef<T> gone = std::move(entries_[index].item);
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
        CompactText();
    }

    // Drops the text of removed keys once it is more than half the buffer;
    // without the memory for that, the buffer stays as it is.
    void CompactText() noexcept {
        if (!keys_ || keys_->unused < 64 || 2 * keys_->unused < keys_->text.size()) return;
        try {
            std::u16string kept;
            kept.reserve(keys_->text.size() - keys_->unused);
            for (Entry &e : entries_) {
                if (!e.HasKey()) continue;
                const std::u16string_view key = KeyOf(e);
                e.keyAt = static_cast<std::uint32_t>(kept.size());
                kept.append(key);
            }
            keys_->text.swap(kept);
            keys_->unused = 0;
        } catch (const std::bad_alloc &) {
        }
    }

    std::vector<Entry> entries_;
    std::unique_ptr<Keys> keys_;  // made with the first key
};

}  // namespace velqosch
