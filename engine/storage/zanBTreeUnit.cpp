#include "engine/storage/zanBTreeUnit.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr int32_t C_INDEXCORRUPT = 8965;
constexpr int32_t C_INTERNALERROR = 8581;
constexpr uint32_t C_MAXDEPTH = 32;

uint16_t Rd16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
uint32_t Rd32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void Wr16(uint8_t* p, uint16_t v) {
    std::memcpy(p, &v, 2);
}
void Wr32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

int32_t Sign(int64_t v) {
    return (v > 0) - (v < 0);
}

bool BitSet(const uint8_t* key, int32_t i) {
    return (key[C_KEYBITMAPOFS + (i >> 3)] & (0x80 >> (i & 7))) != 0;
}
void SetBit(uint8_t* key, int32_t i) {
    key[C_KEYBITMAPOFS + (i >> 3)] |= (0x80 >> (i & 7));
}

TKeyCompareKind KindOf(TFieldType type) {
    switch (type) {
    case ftSmallint:
        return kcInt16;
    case ftWord:
        return kcUInt16;
    case ftInteger:
    case ftAutoInc:
        return kcInt32;
    case ftLargeint:
        return kcInt64;
    case ftBoolean:
        return kcBoolean;
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftTime:
    case ftDateTime:
        return kcReal;
    case ftBCD:
        return kcBCD;
    case ftString:
        return kcString;
    case ftWideString:
        return kcWide;
    default:
        return kcUnknown;
    }
}

int32_t KindWidth(TKeyCompareKind kind) {
    switch (kind) {
    case kcInt16:
    case kcUInt16:
        return 2;
    case kcInt32:
        return 4;
    case kcBoolean:
        return 1;
    case kcInt64:
    case kcReal:
    case kcBCD:
        return 8;
    default:
        return 0;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Key fields

void TKeyFieldItem::Assign(const TCollectionItem& source) {
    auto* s = dynamic_cast<const TKeyFieldItem*>(&source);
    if (!s) {
        TCollectionItem::Assign(source);
        return;
    }
    FFieldName = s->FFieldName;
    FDataType = s->FDataType;
    FFieldSize = s->FFieldSize;
    FCaseInsensitive = s->FCaseInsensitive;
    FDescending = s->FDescending;
    FIsVariable = s->FIsVariable;
    FRecBufOffset = s->FRecBufOffset;
    FNullFlagOffset = s->FNullFlagOffset;
    FSizeMarkerOffset = s->FSizeMarkerOffset;
    FPhysicalFieldNo = s->FPhysicalFieldNo;
    FIndexName = s->FIndexName;
    FHidden = s->FHidden;
    FKeyIndex = s->FKeyIndex;
}

// The published properties in their stored order.
const TPropertyTable& TKeyFieldItem::Properties() {
    using T = TKeyFieldItem;
    static const TPropertyTable table =
        TPropertyTableOf<T>("TKeyFieldItem")
            .String("FieldName", &T::GetFieldName, &T::SetFieldName)
            .Enumeration("DataType", &T::GetDataType, &T::SetDataType, FieldTypeIdentifiers())
            .Integer("FieldSize", &T::GetFieldSize, &T::SetFieldSize)
            .Boolean("CaseInsensitive", &T::GetCaseInsensitive, &T::SetCaseInsensitive, false)
            .Boolean("Descending", &T::GetDescending, &T::SetDescending, false)
            .Boolean("IsVariable", &T::GetIsVariable, &T::SetIsVariable, false)
            .Integer("RecBufOffset", &T::GetRecBufOffset, &T::SetRecBufOffset)
            .Integer("NullFlagOffset", &T::GetNullFlagOffset, &T::SetNullFlagOffset)
            .Integer("SizeMarkerOffset", &T::GetSizeMarkerOffset, &T::SetSizeMarkerOffset)
            .Integer("PhysicalFieldNo", &T::GetPhysicalFieldNo, &T::SetPhysicalFieldNo)
            .String("IndexName", &T::GetIndexName, &T::SetIndexName)
            .Boolean("Hidden", &T::GetHidden, &T::SetHidden)
            .Integer("KeyIndex", &T::GetKeyIndex, &T::SetKeyIndex);
    return table;
}

void TKeyFields::Assign(const TCollection& source) {
    TCollection::Assign(source);
    if (auto* s = dynamic_cast<const TKeyFields*>(&source)) FKeyDataOffset = s->FKeyDataOffset;
}

TKeyFieldItem* TKeyFields::FindField(const std::string& name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Items(i)->GetFieldName(), name)) return Items(i);
    return nullptr;
}

int32_t TKeyFields::FindFieldCountForIndex(const std::string& indexName) const {
    int32_t n = 0;
    for (int i = 0; i < Count(); ++i)
        if (SameText(Items(i)->GetIndexName(), indexName)) ++n;
    return n;
}

// ---------------------------------------------------------------------------------------------
// TNode

void TNode::Open(TBTree* tree, TIndexPageStore* io, uint32_t pageSize) {
    FTree = tree;
    FIO = io;
    FPageSize = pageSize;
    FBuffer.assign(pageSize, 0);
    UseOwnBuffer();
    FAddress = 0;
    FCursor = 0;
}

TNode& TNode::operator=(const TNode& other) {
    if (this == &other) return *this;
    FTree = other.FTree;
    FIO = other.FIO;
    FPageSize = other.FPageSize;
    FBuffer = other.FBuffer;
    FPin = other.FPin;
    FData = FPin ? FPin.Data() : FBuffer.data();
    FAddress = other.FAddress;
    FCursor = other.FCursor;
    FChangedEnd = other.FChangedEnd;
    return *this;
}

void TNode::UseOwnBuffer() {
    FPin.Reset();
    FData = FBuffer.data();
    FChangedEnd = static_cast<int32_t>(FPageSize);
}

uint8_t* TNode::Writable() {
    if (FPin) {
        // The copy is the stored page: what may have changed stays as it was.
        const int32_t changedEnd = FChangedEnd;
        std::memcpy(FBuffer.data(), FData, FPageSize);
        UseOwnBuffer();
        FChangedEnd = changedEnd;
    }
    return FBuffer.data();
}

void TNode::CheckOpen() const {
    if (FBuffer.empty())
        ZanDatabaseError(C_INTERNALERROR, "TNode.CheckOpen", "Node Buffer not allocated");
}

int32_t TNode::MaxKey() const {
    return FTree->FMaxKey;
}

void TNode::Corrupt(const char* context) const {
    ZanDatabaseError(C_INDEXCORRUPT, context);
}

void TNode::ClearNode() {
    CheckOpen();
    const uint32_t leaf = Rd32(FData);
    UseOwnBuffer();
    std::fill(FBuffer.begin(), FBuffer.end(), 0);
    Wr32(FBuffer.data(), leaf);
    FCursor = 0;
}

void TNode::SetLeaf(bool leaf) {
    Wr32(Writable(), leaf ? 1 : 0);
}
bool TNode::CheckIsLeaf() const {
    return Rd32(FData) != 0;
}
uint32_t TNode::GetNext() const {
    return Rd32(FData + 8);
}
void TNode::SetNext(uint32_t address) {
    Wr32(Writable() + 8, address);
}
uint32_t TNode::GetPrior() const {
    return Rd32(FData + 12);
}
void TNode::SetPrior(uint32_t address) {
    Wr32(Writable() + 12, address);
}
int32_t TNode::GetBytesUsed() const {
    return static_cast<int32_t>(Rd32(FData + 4));
}
void TNode::SetBytesUsed(int32_t value) {
    Wr32(Writable() + 4, static_cast<uint32_t>(value));
    FChangedEnd = std::max(FChangedEnd, C_NODEHEADERSIZE + std::max(value, 0));
}

void TNode::SetAddress(uint32_t address) {
    CheckOpen();
    if (address != FAddress) ClearNode();
    FAddress = address;
}

void TNode::ReadNode(uint32_t address) {
    CheckOpen();
    if (address != 0 && address == FAddress) {
        FCursor = 0;
        return;
    }
    if (address == 0) Corrupt("TNode.ReadNode");
    FAddress = 0;
    UseOwnBuffer();
    if (TCachePin pin = FIO->PinPage(address)) {
        FPin = std::move(pin);
        FData = FPin.Data();
    } else {
        FIO->ReadPage(address, FBuffer.data());
    }
    ValidatePage();
    FAddress = address;
    FCursor = 0;
    FChangedEnd = C_NODEHEADERSIZE + GetBytesUsed();
}

void TNode::WriteNode() {
    CheckOpen();
    if (FChangedEnd >= static_cast<int32_t>(FPageSize))
        FIO->WritePage(FAddress, FData);
    else
        FIO->WritePagePart(FAddress, FData, 0, static_cast<uint32_t>(FChangedEnd));
    FChangedEnd = C_NODEHEADERSIZE + GetBytesUsed();
}

void TNode::WriteEntry(int32_t pos) {
    CheckOpen();
    FIO->WritePagePart(FAddress, FData, static_cast<uint32_t>(C_NODEHEADERSIZE + pos),
                       static_cast<uint32_t>(EntryLen(pos)));
}

void TNode::CopyNode(const uint8_t* image) {
    CheckOpen();
    if (image == FData) {
        Writable();
    } else {
        UseOwnBuffer();
        std::memmove(FBuffer.data(), image, FPageSize);
    }
    FCursor = 0;
}

void TNode::ValidatePage() const {
    const uint32_t used = Rd32(FData + 4);
    if (used > FPageSize - C_NODEHEADERSIZE) Corrupt("TNode.ReadNode");
    const int32_t m = MaxKey();
    const uint8_t* entries = FData + C_NODEHEADERSIZE;
    if (FTree->FKeyType == ikFixed) {
        // Every entry is m bytes long and says so.
        if (used % static_cast<uint32_t>(m) != 0) Corrupt("TNode.ReadNode");
        const uint8_t lo = static_cast<uint8_t>(m & 0xFF), hi = static_cast<uint8_t>(m >> 8);
        for (uint32_t pos = 0; pos < used; pos += static_cast<uint32_t>(m))
            if (entries[pos] != lo || entries[pos + 1] != hi) Corrupt("TNode.ReadNode");
        return;
    }
    const int32_t minLen = C_KEYBITMAPOFS + FTree->FKeyDataOffset;
    uint32_t pos = 0;
    while (pos < used) {
        if (used - pos < 2) Corrupt("TNode.ReadNode");
        const int32_t len = Rd16(entries + pos);
        if (len < minLen || len > m) Corrupt("TNode.ReadNode");
        pos += static_cast<uint32_t>(len);
        if (pos > used) Corrupt("TNode.ReadNode");
    }
}

bool TNode::CheckNodeFull() const {
    return GetBytesUsed() + C_NODEHEADERSIZE + MaxKey() >= static_cast<int32_t>(FPageSize);
}
bool TNode::RoomForKey(int32_t n) const {
    return GetBytesUsed() + n + C_NODEHEADERSIZE <= static_cast<int32_t>(FPageSize);
}
bool TNode::CheckNodeTooEmpty() const {
    return GetBytesUsed() + C_NODEHEADERSIZE < static_cast<int32_t>(FPageSize / 2);
}

int32_t TNode::GetCount() const {
    const int32_t used = GetBytesUsed();
    if (FTree->FKeyType == ikFixed) return used / MaxKey();
    int32_t n = 0;
    for (int32_t p = 0; p < used; p = NextPos(p))
        ++n;
    return n;
}

int32_t TNode::PriorPos(int32_t pos) const {
    if (pos <= 0) return -1;
    if (FTree->FKeyType == ikFixed) return ((pos - 1) / MaxKey()) * MaxKey();
    int32_t prev = -1;
    for (int32_t p = 0; p < pos && p < GetBytesUsed(); p = NextPos(p))
        prev = p;
    return prev;
}

int32_t TNode::LastPos() const {
    return PriorPos(GetBytesUsed());
}

int32_t TNode::FindKeyByPosition(TKeySearchType type, int32_t pos) const {
    const int32_t used = GetBytesUsed();
    ZanAssert(pos >= 0 && pos <= used, "FIndKeyPos error: " + IntToStr(pos));
    if (pos == used) return type == ksExact ? -1 : used;
    int32_t start;
    if (FTree->FKeyType == ikFixed) {
        start = (pos / MaxKey()) * MaxKey();
    } else {
        start = 0;
        while (NextPos(start) <= pos)
            start = NextPos(start);
    }
    switch (type) {
    case ksAtOrBefore:
        return start;
    case ksExact:
        return start == pos ? pos : -1;
    default:
        return start == pos ? pos : NextPos(start);
    }
}

const uint8_t* TNode::GetCurrentKey() const {
    if (FCursor < 0 || FCursor >= GetBytesUsed())
        ZanDatabaseError(C_INTERNALERROR, "TNode.GetCurrentKey", "Node cursor out of range");
    return EntryAt(FCursor);
}

uint32_t TNode::GetRecordAddress() const {
    if (FCursor < 0 || FCursor >= GetBytesUsed())
        ZanDatabaseError(C_INTERNALERROR, "TNode.GetRecordAddress", "Node cursor out of range");
    return KeyAddress(EntryAt(FCursor));
}

void TNode::CopyCurrentKey(uint8_t* key) const {
    if (FCursor < 0 || FCursor >= GetBytesUsed())
        ZanDatabaseError(C_INTERNALERROR, "TNode.CopyCurrentKey", "Cursor is out of range");
    std::memcpy(key, EntryAt(FCursor), static_cast<size_t>(EntryLen(FCursor)));
}

void TNode::ReadKey(int32_t pos, uint8_t* key) const {
    if (pos < 0 || pos >= GetBytesUsed())
        ZanDatabaseError(C_INTERNALERROR, "TNode.ReadKey",
                         "ReadPos is out of range: " + IntToStr(pos));
    std::memcpy(key, EntryAt(pos), static_cast<size_t>(EntryLen(pos)));
}

bool TNode::NextRecord() {
    const int32_t used = GetBytesUsed();
    if (FCursor < 0 || FCursor >= used) return false;
    const int32_t next = NextPos(FCursor);
    if (next >= used) return false;
    FCursor = next;
    return true;
}

bool TNode::PriorRecord() {
    if (FCursor <= 0) return false;
    FCursor = PriorPos(std::min(FCursor, GetBytesUsed()));
    return true;
}

void TNode::SetCursorToEnd(bool toStart) {
    FCursor = (toStart || GetBytesUsed() == 0) ? 0 : LastPos();
}

void TNode::ForceCursorToPhysicalKey() {
    if (GetBytesUsed() == 0)
        ZanDatabaseError(C_INTERNALERROR, "TNode.ForceCursorToPhysicalKey", "Node is empty");
    if (FCursor >= GetBytesUsed()) FCursor = LastPos();
}

void TNode::InsertKey(int32_t pos, const uint8_t* key) {
    const int32_t used = GetBytesUsed();
    const int32_t len = KeyLength(key);
    ZanAssert(pos >= 0 && pos <= used && len > 0 && len <= MaxKey() &&
                  (FTree->FKeyType != ikFixed || len == MaxKey()) &&
                  used + len <= static_cast<int32_t>(FPageSize) - C_NODEHEADERSIZE,
              "Node insert out of range");
    uint8_t* p = MutableEntryAt(pos);
    std::memmove(p + len, p, static_cast<size_t>(used - pos));
    std::memcpy(p, key, static_cast<size_t>(len));
    SetBytesUsed(used + len);
}

void TNode::DeleteKey(int32_t pos) {
    const int32_t used = GetBytesUsed();
    ZanAssert(pos >= 0 && pos < used, "Node delete out of range");
    Writable();
    const int32_t len = KeyLength(EntryAt(pos));
    if (len == 0 || len > MaxKey() || pos + len > used || len != EntryLen(pos))
        ZanDatabaseError(C_INTERNALERROR, "TNode.DeleteKey",
                         "Invalid key size in Delete key: " + IntToStr(len));
    uint8_t* p = MutableEntryAt(pos);
    std::memmove(p, p + len, static_cast<size_t>(used - pos - len));
    std::memset(MutableEntryAt(used - len), 0, static_cast<size_t>(len));
    SetBytesUsed(used - len);
}

int32_t TNode::UpdateKey(int32_t pos, const uint8_t* key) {
    const int32_t used = GetBytesUsed();
    ZanAssert(pos >= 0 && pos < used, "Node update out of range");
    const int32_t oldLen = EntryLen(pos);
    const int32_t newLen = KeyLength(key);
    const int32_t diff = newLen - oldLen;
    ZanAssert(newLen > 0 && newLen <= MaxKey() &&
                  (FTree->FKeyType != ikFixed || newLen == MaxKey()) &&
                  used + diff <= static_cast<int32_t>(FPageSize) - C_NODEHEADERSIZE,
              "Node update out of range");
    if (diff != 0) MoveBlock(pos + oldLen, diff > 0 ? diff : -diff, diff > 0);
    std::memcpy(MutableEntryAt(pos), key, static_cast<size_t>(newLen));
    SetBytesUsed(used + diff);
    return diff;
}

void TNode::MoveBlock(int32_t start, int32_t delta, bool forward) {
    const int32_t used = GetBytesUsed();
    ZanAssert(start >= 0 && start <= used && delta >= 0, "Move block error");
    Writable();
    const size_t n = static_cast<size_t>(used - start);
    if (forward) {
        ZanAssert(used + delta <= static_cast<int32_t>(FPageSize) - C_NODEHEADERSIZE,
                  "Move block error - Start Pos - Delta are out of range");
        std::memmove(MutableEntryAt(start + delta), EntryAt(start), n);
    } else {
        if (delta > start)
            ZanDatabaseError(C_INTERNALERROR, "TNode.MoveBlock",
                             "Move block error - Start Pos - Delta are out of range");
        std::memmove(MutableEntryAt(start - delta), EntryAt(start), n);
        std::memset(MutableEntryAt(used - delta), 0, static_cast<size_t>(delta));
    }
}

int32_t TNode::SearchNode(int32_t fieldCount, int32_t& pos) {
    const int32_t used = GetBytesUsed();
    const bool leaf = CheckIsLeaf();
    int32_t c = 1;
    if (used == 0) {
        pos = 0;
        FCursor = 0;
        return 1;
    }
    if (FTree->FKeyType == ikMinStringLen) {
        // Entries differ in length: their starts are listed first (one pass over the lengths),
        // then searched by halving. A leaf answers the first entry not below the search key
        // (the end when there is none, comparing 1); an inner page the last entry not above
        // it (its first entry when every entry is above).
        std::vector<int32_t>& starts = FTree->FEntryStarts;
        starts.clear();
        for (int32_t p = 0; p < used; p = NextPos(p))
            starts.push_back(p);
        const int32_t n = static_cast<int32_t>(starts.size());
        int32_t lo = 0, hi = n, cLo = 1, cHi = 1;
        while (lo < hi) {
            const int32_t mid = lo + (hi - lo) / 2;
            const int32_t r = FTree->CompareToOptimizedKey(0, EntryAt(starts[size_t(mid)]));
            if (leaf ? r <= 0 : r < 0) {
                hi = mid;
                cHi = r;
            } else {
                lo = mid + 1;
                cLo = r;
            }
        }
        if (leaf) {
            pos = lo < n ? starts[size_t(lo)] : used;
            c = lo < n ? cHi : 1;
        } else if (lo > 0) {
            pos = starts[size_t(lo - 1)];
            c = cLo;
        } else {
            pos = 0;
            c = cHi;
        }
    } else {
        const int32_t m = MaxKey();
        const int32_t n = used / m;
        // Every entry of a validated fixed-size page is m bytes long, so a first integer field
        // that differs decides the comparison as CompareToOptimizedKey would.
        const bool firstInt = FTree->FFirstIntProbe;
        const int32_t v = FTree->FFirstInt;
        const int32_t p0 = C_KEYBITMAPOFS + FTree->FKeyDataOffset;
        auto probe = [&](const uint8_t* e) {
            if (firstInt && (e[C_KEYBITMAPOFS] & 0x80) != 0) {
                int32_t y;
                std::memcpy(&y, e + p0, 4);
                if (v != y) return v > y ? 1 : -1;
            }
            return FTree->CompareToOptimizedKey(0, e);
        };
        int32_t lo = 0, hi = n - 1, found = -1;
        while (lo <= hi) {
            const int32_t mid = (lo + hi) / 2;
            const int32_t r = probe(EntryAt(mid * m));
            if (r > 0) {
                lo = mid + 1;
            } else if (r < 0) {
                hi = mid - 1;
            } else {
                found = mid;
                break;
            }
        }
        int32_t slot;
        if (leaf) {
            slot = found >= 0 ? found : lo;
            c = slot < n ? FTree->CompareToOptimizedKey(fieldCount, EntryAt(slot * m)) : 1;
        } else {
            slot = found >= 0 ? found : (lo > 0 ? lo - 1 : 0);
            c = probe(EntryAt(slot * m));
        }
        pos = slot * m;
    }
    FCursor = pos;
    return c;
}

uint32_t TNode::SearchNodeByRecNo(uint32_t recNo, uint32_t& skipped) {
    const int32_t used = GetBytesUsed();
    const bool leaf = CheckIsLeaf();
    skipped = 0;
    FCursor = 0;
    if (used == 0) return 0;
    uint64_t total = 0;
    int32_t p = 0;
    for (;;) {
        const uint64_t add = leaf ? 1 : KeyCount(EntryAt(p));
        const int32_t next = NextPos(p);
        if (total + add >= recNo || next >= used) {
            skipped = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
            FCursor = p;
            return KeyAddress(EntryAt(p));
        }
        total += add;
        p = next;
    }
}

uint32_t TNode::GetRecordCount(int32_t limit) const {
    const int32_t used = GetBytesUsed();
    if (limit < 0 || limit >= used)
        limit = used;
    else
        limit += 1; // entries starting at or before limit
    return CountBefore(limit);
}

uint32_t TNode::CountBefore(int32_t pos) const {
    const bool leaf = CheckIsLeaf();
    const int32_t used = GetBytesUsed();
    if (leaf && FTree->FKeyType == ikFixed)
        return static_cast<uint32_t>((std::min(pos, used) + MaxKey() - 1) / MaxKey());
    uint32_t total = 0;
    for (int32_t p = 0; p < pos && p < used; p = NextPos(p))
        total += leaf ? 1 : KeyCount(EntryAt(p));
    return total;
}

int32_t TNode::GetRedistributeNode(int32_t pos) const {
    const int32_t used = GetBytesUsed();
    if (CheckIsLeaf() || used == 0) return -1;
    const int32_t prior = PriorPos(pos);
    const int32_t next = pos < used ? NextPos(pos) : used;
    const bool hasNext = next < used;
    if (prior >= 0 && hasNext)
        return KeyCount(EntryAt(prior)) < KeyCount(EntryAt(next)) ? prior : next;
    if (prior >= 0) return prior;
    if (hasNext) return next;
    return -1;
}

int32_t TNode::RedistributeNodes(TNode& right) {
    const int32_t l = GetBytesUsed();
    const int32_t r = right.GetBytesUsed();
    const int32_t total = l + r;
    const int32_t room = static_cast<int32_t>(FPageSize) - C_NODEHEADERSIZE;
    if (static_cast<int32_t>(FPageSize / 3) >= total) return -1;
    if (l == r) return 0;
    Writable();
    right.Writable();
    const int32_t half = total / 2;
    if (half < l) {
        const int32_t s = FindKeyByPosition(ksAtOrBefore, half);
        const int32_t n = l - s;
        if (s == 0 || r + n > room) return 0; // never empty a page or overfill one
        right.MoveBlock(0, n, true);
        std::memcpy(right.MutableEntryAt(0), EntryAt(s), static_cast<size_t>(n));
        right.SetBytesUsed(r + n);
        std::memset(MutableEntryAt(s), 0, static_cast<size_t>(n));
        SetBytesUsed(s);
    } else {
        const int32_t s = right.FindKeyByPosition(ksAtOrAfter, half - l);
        if (s >= r || l + s > room) return 0;
        std::memcpy(MutableEntryAt(l), right.EntryAt(0), static_cast<size_t>(s));
        SetBytesUsed(l + s);
        right.MoveBlock(s, s, false);
        right.SetBytesUsed(r - s);
    }
    return 1;
}

void TNode::RewriteSiblingLink(uint32_t address, bool setPrior, uint32_t value) {
    std::vector<uint8_t>& page = FTree->FScratch;
    page.resize(FPageSize);
    FIO->ReadPage(address, page.data());
    Wr32(page.data() + (setPrior ? 12 : 8), value);
    FIO->WritePage(address, page.data());
    FTree->ForgetAddress(address, nullptr);
}

void TNode::UnlinkLeaf() {
    const uint32_t prior = GetPrior();
    const uint32_t next = GetNext();
    if (prior != 0) RewriteSiblingLink(prior, false, next);
    if (next != 0) RewriteSiblingLink(next, true, prior);
}

void TNode::MergeNodes(TNode& other, bool otherIsAfter) {
    const int32_t a = GetBytesUsed();
    const int32_t b = other.GetBytesUsed();
    ZanAssert(a + b + MaxKey() <= static_cast<int32_t>(FPageSize),
              Format("Invalid parameters for MergeNodes (size too large): size1 %d size2 %d key %d",
                     {a, b, MaxKey()}));
    Writable();
    if (otherIsAfter) {
        std::memcpy(MutableEntryAt(a), other.EntryAt(0), static_cast<size_t>(b));
        SetBytesUsed(a + b);
        if (CheckIsLeaf()) {
            SetNext(other.GetNext());
            if (GetNext() != 0) RewriteSiblingLink(GetNext(), true, FAddress);
        }
    } else {
        MoveBlock(0, b, true);
        std::memcpy(MutableEntryAt(0), other.EntryAt(0), static_cast<size_t>(b));
        SetBytesUsed(a + b);
        if (CheckIsLeaf()) {
            SetPrior(other.GetPrior());
            if (GetPrior() != 0) RewriteSiblingLink(GetPrior(), false, FAddress);
        }
    }
}

void TNode::SplitNode(TNode& target, uint32_t newAddress) {
    const int32_t used = GetBytesUsed();
    if (used == 0) ZanDatabaseError(C_INTERNALERROR, "TNode.SplitNode", "Node is empty");
    if (used + C_NODEHEADERSIZE > static_cast<int32_t>(FPageSize))
        ZanDatabaseError(C_INTERNALERROR, "TNode.SplitNode", "Node is overfull");
    int32_t mid = FindKeyByPosition(ksAtOrBefore, used / 2);
    if (mid == 0) mid = NextPos(0);
    ZanAssert(mid < used, "Node is too small to split");
    Writable();
    target.FAddress = newAddress;
    target.UseOwnBuffer();
    std::fill(target.FBuffer.begin(), target.FBuffer.end(), 0);
    std::memcpy(target.FBuffer.data(), FData, C_NODEHEADERSIZE);
    std::memcpy(target.MutableEntryAt(0), EntryAt(mid), static_cast<size_t>(used - mid));
    target.SetBytesUsed(used - mid);
    target.FCursor = 0;
    std::memset(MutableEntryAt(mid), 0, static_cast<size_t>(used - mid));
    SetBytesUsed(mid);
    if (CheckIsLeaf()) {
        target.SetNext(GetNext());
        target.SetPrior(FAddress);
        if (GetNext() != 0) RewriteSiblingLink(GetNext(), true, newAddress);
        SetNext(newAddress);
        if (FTree->FDebugStrings && (target.GetNext() == newAddress || GetPrior() == FAddress))
            FTree->FDebugStrings->Add("******ERROR in SPLIT NODE");
    } else {
        target.SetNext(0);
        target.SetPrior(0);
    }
}

void TNode::FillHashTable(int32_t fieldNo, TZanBaseHash& hash) const {
    const int32_t used = GetBytesUsed();
    const int32_t n = FTree->KeyFieldCount();
    ZanAssert(fieldNo >= 0 && fieldNo < n, "Invalid key field number");
    const uint8_t* values[C_MAXKEYFIELDS];
    int32_t sizes[C_MAXKEYFIELDS];
    bool has[C_MAXKEYFIELDS];
    for (int32_t p = 0; p < used; p = NextPos(p)) {
        FTree->DecodeKey(EntryAt(p), values, sizes, has);
        if (has[fieldNo]) hash.Add(values[fieldNo], sizes[fieldNo], KeyAddress(EntryAt(p)));
    }
}

void TNode::DebugInfo(TStrings& list, int32_t level) const {
    list.Add(
        Format("Node Level: %d NodeAddr=%d :NodeHdr=L:%5d Sze:%5d N:%5d P:%5d",
               {level, FAddress, Rd32(FData), GetBytesUsed(), GetNext(), GetPrior()}));
    if (GetBytesUsed() == 0) list.Add("ERROR: EMPTY NODE");
    if (CheckIsLeaf() && FAddress != 0 && (GetNext() == FAddress || GetPrior() == FAddress))
        list.Add("******ERROR in NEXT/PRIOR LINKS");
}

// ---------------------------------------------------------------------------------------------
// TBTree: configuration and keys

void TOptimizedSearchKey::Clear() {
    FieldCount = 0;
    for (auto& f : Fields)
        f = TField{};
}

TBTree::TBTree() : FSpare(std::make_unique<TNode>()) {}
TBTree::~TBTree() = default;

void TBTree::ConnectToIFace(TIndexPageStore* io, uint32_t pageSize, uint32_t* rootRef,
                            uint32_t* depthRef) {
    FIO = io;
    FPageSize = pageSize;
    FRoot = rootRef;
    FDepth = depthRef;
    FNodes.clear();
    FPositions.clear();
    if (FSpare->IsOpen()) FSpare->Open(this, FIO, FPageSize);
    FPathPrepared = FCursorValid = false;
}

namespace {
// Index pages as blocks of page size in a block store.
class TBlockPageStore : public TIndexPageStore {
public:
    TBlockPageStore(TBaseIOInterface* io, uint32_t pageSize)
        : FIO(io), FDisk(dynamic_cast<TDiskIOInterface*>(io)), FPageSize(pageSize),
          FOnDisk(FDisk != nullptr) {}
    uint32_t AllocatePage(const void* data) override {
        return FIO->AllocateNewAddress(FPageSize, data);
    }
    void ReleasePage(uint32_t address) override { FIO->ReleaseBlock(address, FPageSize); }
    void ReadPage(uint32_t address, void* buffer) override {
        FIO->ReadBlock(address, FPageSize, buffer);
    }
    TCachePin PinPage(uint32_t address) override { return FIO->PinBlock(address, FPageSize); }
    void WritePage(uint32_t address, const void* data) override {
        FIO->WriteBlock(address, FPageSize, data);
    }
    void WritePagePart(uint32_t address, const uint8_t* page, uint32_t offset,
                       uint32_t count) override {
        if (offset + uint64_t(count) > FPageSize)
            ZanDatabaseError(C_INTERNALERROR, "TBlockPageStore.WritePagePart");
        // Blocks on disk are addressed by their bytes; a memory store's address is a handle
        // of the whole block.
        if (FOnDisk)
            FIO->WriteBlock(address + offset, count, page + offset);
        else
            FIO->WriteBlock(address, FPageSize, page);
    }
    // Asked at every key change: the store's kind was found once.
    TDiskMgr* GetDiskMgr() const override { return FDisk ? FDisk->GetDiskMgr() : nullptr; }

private:
    TBaseIOInterface* FIO;
    TDiskIOInterface* FDisk; // FIO when it is a disk store
    uint32_t FPageSize;
    bool FOnDisk; // blocks addressed by their bytes
};
} // namespace

void TBTree::ConnectToIFace(TBaseIOInterface* io, uint32_t pageSize, uint32_t* rootRef,
                            uint32_t* depthRef) {
    // The old adapter may still be referenced by nodes: they are reopened on the new one.
    auto adapter = std::make_unique<TBlockPageStore>(io, pageSize);
    ConnectToIFace(adapter.get(), pageSize, rootRef, depthRef);
    FOwnedIO = std::move(adapter);
}

void TBTree::SetPageSize(uint32_t pageSize) {
    FPageSize = pageSize;
}

void TBTree::SetMaximumKeySize(int32_t size) {
    FMaxKey = size;
    FFirstIntProbe = false;
    const size_t n = static_cast<size_t>(std::max(size, 0)) + 1;
    FSearchKey.assign(n, 0);
    FTempKey.assign(n, 0);
    FWorkKey.assign(n, 0);
}

void TBTree::SetKeyFields(const TKeyFields& keyFields) {
    if (keyFields.Count() > C_MAXKEYFIELDS)
        ZanDatabaseError(C_INTERNALERROR, "TBTree.SetKeyFields", "Too many key fields");
    FFields.clear();
    for (int i = 0; i < keyFields.Count(); ++i) {
        const TKeyFieldItem* k = keyFields.Items(i);
        TKeyFieldInfo f;
        f.DataType = k->GetDataType();
        f.Kind = KindOf(f.DataType);
        f.Size = k->GetFieldSize();
        f.IsString = f.Kind == kcString || f.Kind == kcWide;
        f.CaseInsensitive = k->GetCaseInsensitive();
        f.Descending = k->GetDescending();
        f.Hidden = k->GetHidden();
        f.RecBufOffset = k->GetRecBufOffset();
        f.NullFlagOffset = k->GetNullFlagOffset();
        f.SizeMarkerOffset = k->GetSizeMarkerOffset();
        const int32_t w = KindWidth(f.Kind);
        if (f.Size < 0 || (w != 0 && f.Size != w) || f.Size > 0xFFFF)
            ZanDatabaseError(C_INTERNALERROR, "TBTree.SetKeyFields", "KeyBuffers invalid");
        FFields.push_back(f);
    }
    FFirstIntProbe = false; // until the next search key is decoded
    FIntKeysOnly = !FFields.empty();
    for (const TKeyFieldInfo& f : FFields)
        if (f.Kind != kcInt32 && f.Kind != kcInt64) FIntKeysOnly = false;
    FKeyDataOffset = keyFields.GetDataOffset();
    if (FKeyDataOffset < static_cast<int32_t>(FFields.size()) / 8 + 1)
        ZanDatabaseError(C_INTERNALERROR, "TBTree.SetKeyFields", "KeyBuffers invalid");
}

void TBTree::Open() {
    if (!FCompare)
        ZanDatabaseError(C_INTERNALERROR, "TBTree.Open", "No sort order function assigned");
    ZanAssert(FIO != nullptr && FRoot != nullptr && FDepth != nullptr,
              "BTree is not connected to an IO interface");
    // Every page must take at least a few maximum-size keys, so that splits, merges and the
    // refresh of internal keys always fit.
    if (FMaxKey < C_KEYBITMAPOFS + FKeyDataOffset ||
        6 * static_cast<int64_t>(FMaxKey) + 32 > static_cast<int64_t>(FPageSize))
        ZanDatabaseError(9602, "TBTree.Open");
    FNodes.clear();
    FPositions.clear();
    FSpare->Open(this, FIO, FPageSize);
    FScratch.assign(FPageSize, 0);
    FOpen = true;
    FPathPrepared = FCursorValid = false;
}

void TBTree::Close() {
    FNodes.clear();
    FPositions.clear();
    FOpen = false;
    FPathPrepared = FCursorValid = false;
}

void TBTree::InvalidateInternalBuffers() {
    for (auto& n : FNodes)
        n->Forget();
    FSpare->Forget();
    FPathPrepared = FCursorValid = false;
}

void TBTree::ForgetAddress(uint32_t address, const TNode* except) {
    for (auto& n : FNodes)
        if (n.get() != except && n->GetAddress() == address) n->Forget();
    if (FSpare.get() != except && FSpare->GetAddress() == address) FSpare->Forget();
}

uint32_t TBTree::AllocatePage(const uint8_t* image) {
    const uint32_t address = FIO->AllocatePage(image);
    if (address == 0) ZanDatabaseError(C_INTERNALERROR, "TBTree.AllocatePage", "No page");
    ForgetAddress(address, nullptr);
    return address;
}

void TBTree::ReleasePage(uint32_t address) {
    ForgetAddress(address, nullptr);
    FIO->ReleasePage(address);
}

void TBTree::CreateTree() {
    ZanAssert(FOpen, "BTree is not open");
    std::vector<uint8_t> page(FPageSize, 0);
    Wr32(page.data(), 1);
    *FRoot = AllocatePage(page.data());
    *FDepth = 1;
    FPathPrepared = FCursorValid = false;
}

void TBTree::ReleaseSubtree(uint32_t address, uint32_t level) {
    if (level + 1 < *FDepth) {
        TNode node;
        node.Open(this, FIO, FPageSize);
        node.ReadNode(address);
        if (node.CheckIsLeaf()) ZanDatabaseError(C_INDEXCORRUPT, "TBTree.EmptyTree");
        std::vector<uint32_t> children;
        for (int32_t p = 0; p < node.GetBytesUsed(); p = node.NextPos(p))
            children.push_back(KeyAddress(node.EntryAt(p)));
        for (uint32_t child : children)
            ReleaseSubtree(child, level + 1);
    }
    ReleasePage(address);
}

void TBTree::EmptyTree(bool drop) {
    ZanAssert(FOpen, "BTree is not open");
    TDiskWriteScope scope(FIO ? FIO->GetDiskMgr() : nullptr);
    if (*FRoot != 0 && *FDepth >= 1 && *FDepth <= C_MAXDEPTH) ReleaseSubtree(*FRoot, 0);
    InvalidateInternalBuffers();
    *FRoot = 0;
    *FDepth = 0;
    if (!drop) CreateTree();
}

void TBTree::BuildKeyFromRecBuf(uint8_t* dest, const uint8_t* recBuf) const {
    std::memset(dest, 0, static_cast<size_t>(FMaxKey) + 1);
    int32_t p = C_KEYBITMAPOFS + FKeyDataOffset;
    for (size_t i = 0; i < FFields.size(); ++i) {
        const TKeyFieldInfo& f = FFields[i];
        if (recBuf[f.NullFlagOffset] != 1) continue;
        if (f.IsString) {
            int32_t n = f.SizeMarkerOffset >= 1 ? Rd16(recBuf + f.SizeMarkerOffset) : f.Size;
            n = std::min(n, f.Size);
            ZanAssert(p + 2 + n <= FMaxKey, "KeySize out of range");
            Wr16(dest + p, static_cast<uint16_t>(n));
            std::memcpy(dest + p + 2, recBuf + f.RecBufOffset, static_cast<size_t>(n));
            p += 2 + n;
        } else {
            ZanAssert(p + f.Size <= FMaxKey, "KeySize out of range");
            std::memcpy(dest + p, recBuf + f.RecBufOffset, static_cast<size_t>(f.Size));
            p += f.Size;
        }
        SetBit(dest, static_cast<int32_t>(i));
    }
    SetKeyLength(dest, static_cast<uint16_t>(FKeyType == ikMinStringLen ? p : FMaxKey));
}

void TBTree::DecodeSearchKey(const TKeyMarkers* markers) {
    if (markers)
        FMarkers = *markers;
    else
        FMarkers.clear();
    // Only the key's own fields are read by the comparisons: the rest are left as they were.
    const int32_t n = KeyFieldCount();
    FOptKey.FieldCount = n;
    const uint8_t* values[C_MAXKEYFIELDS];
    int32_t sizes[C_MAXKEYFIELDS];
    bool has[C_MAXKEYFIELDS];
    DecodeKey(FSearchKey.data(), values, sizes, has);
    for (int32_t i = 0; i < n; ++i) {
        auto& f = FOptKey.Fields[i];
        f.HasValue = has[i];
        f.Value = values[i];
        f.Size = sizes[i];
        f.Marker = (static_cast<size_t>(i) < FMarkers.size() ? FMarkers[i] : 1) - 1;
    }
    const int32_t p0 = C_KEYBITMAPOFS + FKeyDataOffset;
    FFirstIntProbe = FIntKeysOnly && n >= 1 && FFields[0].Size == 4 && !FFields[0].Descending &&
                     FOptKey.Fields[0].Marker == 0 && FOptKey.Fields[0].HasValue &&
                     p0 + 4 <= FMaxKey;
    if (FFirstIntProbe) std::memcpy(&FFirstInt, FOptKey.Fields[0].Value, 4);
}

void TBTree::ConstructKeyBufFromRecBuf(const uint8_t* recBuf, const TKeyMarkers* markers) {
    BuildKeyFromRecBuf(FSearchKey.data(), recBuf);
    DecodeSearchKey(markers);
}

void TBTree::ConstructTempKeyBufFromRecBuf(uint8_t* dest, const uint8_t* recBuf,
                                           const TKeyMarkers*) {
    BuildKeyFromRecBuf(FWorkKey.data(), recBuf);
    std::memcpy(dest, FWorkKey.data(), FWorkKey.size());
}

void TBTree::ConstructKeyBufFromKeyBuf(const uint8_t* key, const TKeyMarkers* markers) {
    const int32_t len = KeyLength(key);
    if (len > FMaxKey || len < C_KEYBITMAPOFS + FKeyDataOffset)
        ZanDatabaseError(C_INTERNALERROR, "TBTree.ConstructKeyBufFromKeyBuf",
                         "KeySize out of range");
    std::fill(FSearchKey.begin(), FSearchKey.end(), 0);
    std::memcpy(FSearchKey.data(), key, static_cast<size_t>(len));
    if (FKeyType == ikFixed) SetKeyLength(FSearchKey.data(), static_cast<uint16_t>(FMaxKey));
    DecodeSearchKey(markers);
}

void TBTree::ConstructKeyBufFromVariants(const Variant& values, const TKeyMarkers* markers) {
    uint8_t* dest = FSearchKey.data();
    std::memset(dest, 0, FSearchKey.size());
    int32_t p = C_KEYBITMAPOFS + FKeyDataOffset;
    const bool isArray = values.Type() == varArray;
    for (int32_t i = 0; i < KeyFieldCount(); ++i) {
        const TKeyFieldInfo& f = FFields[static_cast<size_t>(i)];
        const Variant* v = nullptr;
        if (isArray) {
            if (static_cast<size_t>(i) < values.Elements().size()) v = &values.Elements()[i];
        } else if (i == 0) {
            v = &values;
        }
        if (!v || v->Type() == varNull || v->Type() == varEmpty) continue;
        uint8_t buf[8] = {};
        std::string text;
        int32_t n = 0;
        switch (f.DataType) {
        case ftString:
            text = v->AsString();
            break;
        case ftWideString: {
            const std::string s = v->AsString();
            std::vector<char16_t> w(static_cast<size_t>(f.Size / 2 + 1));
            const int32_t units = StringLToWideChar(s, w.data(), static_cast<int32_t>(w.size()));
            text.assign(reinterpret_cast<const char*>(w.data()), static_cast<size_t>(units) * 2);
            break;
        }
        case ftSmallint:
        case ftWord: {
            const auto x = static_cast<uint16_t>(v->AsInteger());
            std::memcpy(buf, &x, 2);
            n = 2;
            break;
        }
        case ftInteger:
        case ftAutoInc: {
            const int32_t x = v->AsInteger();
            std::memcpy(buf, &x, 4);
            n = 4;
            break;
        }
        case ftLargeint: {
            const int64_t x = v->AsInt64();
            std::memcpy(buf, &x, 8);
            n = 8;
            break;
        }
        case ftBoolean:
            buf[0] = v->AsBoolean() ? 1 : 0;
            n = 1;
            break;
        case ftFloat:
        case ftCurrency: {
            const double x = v->AsDouble();
            std::memcpy(buf, &x, 8);
            n = 8;
            break;
        }
        case ftBCD: {
            const int64_t x = v->AsCurrency().Scaled();
            std::memcpy(buf, &x, 8);
            n = 8;
            break;
        }
        case ftDate:
        case ftTime:
        case ftDateTime: {
            const double x = v->AsDateTime();
            std::memcpy(buf, &x, 8);
            n = 8;
            break;
        }
        default:
            ZanDatabaseError(10000, "TBTree.ConstructKeyBufFromVariants",
                             std::string(FieldTypeName(f.DataType)));
        }
        if (f.IsString) {
            const int32_t len = std::min(static_cast<int32_t>(text.size()), f.Size);
            ZanAssert(p + 2 + len <= FMaxKey, "KeySize out of range");
            Wr16(dest + p, static_cast<uint16_t>(len));
            std::memcpy(dest + p + 2, text.data(), static_cast<size_t>(len));
            p += 2 + len;
        } else {
            ZanAssert(p + f.Size <= FMaxKey && n == f.Size, "KeySize out of range");
            std::memcpy(dest + p, buf, static_cast<size_t>(n));
            p += n;
        }
        SetBit(dest, i);
    }
    SetKeyLength(dest, static_cast<uint16_t>(FKeyType == ikMinStringLen ? p : FMaxKey));
    DecodeSearchKey(markers);
}

void TBTree::DecodeKey(const uint8_t* key, const uint8_t** values, int32_t* sizes,
                       bool* has) const {
    const int32_t len = KeyLength(key);
    if (len > FMaxKey) ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CompareKeys");
    int32_t p = C_KEYBITMAPOFS + FKeyDataOffset;
    for (int32_t i = 0; i < KeyFieldCount(); ++i) {
        const TKeyFieldInfo& f = FFields[static_cast<size_t>(i)];
        has[i] = BitSet(key, i);
        values[i] = nullptr;
        sizes[i] = 0;
        if (!has[i]) continue;
        if (f.IsString) {
            if (p + 2 > len) ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CompareKeys");
            const int32_t n = Rd16(key + p);
            if (n > f.Size || p + 2 + n > len)
                ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CompareKeys");
            values[i] = key + p + 2;
            sizes[i] = n;
            p += 2 + n;
        } else {
            if (p + f.Size > len) ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CompareKeys");
            values[i] = key + p;
            sizes[i] = f.Size;
            p += f.Size;
        }
    }
}

int32_t TBTree::CompareField(int32_t i, const uint8_t* a, int32_t la, const uint8_t* b,
                             int32_t lb) const {
    const TKeyFieldInfo& f = FFields[static_cast<size_t>(i)];
    switch (f.Kind) {
    case kcInt16: {
        int16_t x, y;
        std::memcpy(&x, a, 2);
        std::memcpy(&y, b, 2);
        return Sign(x - y);
    }
    case kcUInt16:
        return Sign(static_cast<int32_t>(Rd16(a)) - static_cast<int32_t>(Rd16(b)));
    case kcInt32: {
        int32_t x, y;
        std::memcpy(&x, a, 4);
        std::memcpy(&y, b, 4);
        return (x > y) - (x < y);
    }
    case kcInt64: {
        int64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        return (x > y) - (x < y);
    }
    case kcBoolean:
        return Sign(static_cast<int32_t>(a[0]) - static_cast<int32_t>(b[0]));
    case kcReal: {
        double x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        // Date-times order by their instant: before day zero a later time of the same day is
        // a smaller number.
        if (f.DataType == ftDateTime) return CompareReals(DateTimeOrderValue(x), DateTimeOrderValue(y));
        return CompareReals(x, y);
    }
    case kcBCD: {
        int64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        return CompareReals(static_cast<double>(x) / 10000.0, static_cast<double>(y) / 10000.0);
    }
    case kcString:
        return FCompare(reinterpret_cast<const char*>(a), la, reinterpret_cast<const char*>(b), lb,
                        false, f.CaseInsensitive);
    case kcWide:
        return DBCompareWideStrings(reinterpret_cast<const char*>(a), la,
                                    reinterpret_cast<const char*>(b), lb, false, f.CaseInsensitive);
    default:
        ZanDatabaseError(C_INTERNALERROR, "TBTree.CompareKeys",
                         "Field type not found: " + std::string(FieldTypeName(f.DataType)));
    }
}

void TBTree::BadKeyLength(int32_t len) {
    ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CompareToOptimizedKey",
                     "Invalid key size: " + IntToStr(len));
}

void TBTree::KeyOverrun() {
    ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CompareToOptimizedKey");
}

int32_t TBTree::CompareMixedKeyFields(int32_t n, const uint8_t* key, int32_t len) const {
    int32_t p = C_KEYBITMAPOFS + FKeyDataOffset;
    for (int32_t i = 0; i < n; ++i) {
        const TKeyFieldInfo& f = FFields[static_cast<size_t>(i)];
        const TOptimizedSearchKey::TField& s = FOptKey.Fields[i];
        if (s.Marker != 0) return s.Marker > 0 ? 1 : -1;
        const bool hasB = BitSet(key, i);
        const uint8_t* vb = nullptr;
        int32_t nb = 0;
        if (hasB) {
            if (f.IsString) {
                if (p + 2 > len) KeyOverrun();
                nb = Rd16(key + p);
                if (nb > f.Size || p + 2 + nb > len) KeyOverrun();
                vb = key + p + 2;
                p += 2 + nb;
            } else {
                if (p + f.Size > len) KeyOverrun();
                vb = key + p;
                nb = f.Size;
                p += f.Size;
            }
        }
        int32_t d = static_cast<int32_t>(s.HasValue) - static_cast<int32_t>(hasB);
        if (d == 0 && hasB) d = Sign(CompareField(i, s.Value, s.Size, vb, nb));
        if (f.Descending) d = -d;
        if (d != 0) return d;
    }
    return 0;
}

int32_t TBTree::CompareKeys(int32_t fieldCount, const TKeyMarkers* markersA,
                            const TKeyMarkers* markersB, const uint8_t* keyA,
                            const uint8_t* keyB) const {
    if (KeyLength(keyA) > FMaxKey || KeyLength(keyB) > FMaxKey)
        ZanDatabaseError(C_INTERNALERROR, "TBTree.CompareKeys", "KeySize out of range");
    const uint8_t* va[C_MAXKEYFIELDS];
    const uint8_t* vb[C_MAXKEYFIELDS];
    int32_t sa[C_MAXKEYFIELDS], sb[C_MAXKEYFIELDS];
    bool ha[C_MAXKEYFIELDS], hb[C_MAXKEYFIELDS];
    DecodeKey(keyA, va, sa, ha);
    DecodeKey(keyB, vb, sb, hb);
    const int32_t count = KeyFieldCount();
    const int32_t n = fieldCount >= 1 ? std::min(fieldCount, count) : count;
    for (int32_t i = 0; i < n; ++i) {
        if (markersA && static_cast<size_t>(i) < markersA->size()) {
            const int32_t mb =
                markersB && static_cast<size_t>(i) < markersB->size() ? (*markersB)[i] : 1;
            const int32_t d = (*markersA)[i] - mb;
            if (d != 0) return Sign(d);
        }
        int32_t d = static_cast<int32_t>(ha[i]) - static_cast<int32_t>(hb[i]);
        if (d == 0 && ha[i]) d = Sign(CompareField(i, va[i], sa[i], vb[i], sb[i]));
        if (FFields[static_cast<size_t>(i)].Descending) d = -d;
        if (d != 0) return d;
    }
    return 0;
}

std::vector<std::string> TBTree::DecodeKeyBufAsStrings(const uint8_t* key) const {
    std::vector<std::string> out;
    const uint8_t* values[C_MAXKEYFIELDS];
    int32_t sizes[C_MAXKEYFIELDS];
    bool has[C_MAXKEYFIELDS];
    DecodeKey(key, values, sizes, has);
    for (int32_t i = 0; i < KeyFieldCount(); ++i) {
        const TKeyFieldInfo& f = FFields[static_cast<size_t>(i)];
        if (!has[i]) {
            out.push_back("NULL");
            continue;
        }
        switch (f.Kind) {
        case kcInt16: {
            int16_t x;
            std::memcpy(&x, values[i], 2);
            out.push_back(IntToStr(x));
            break;
        }
        case kcUInt16:
            out.push_back(IntToStr(Rd16(values[i])));
            break;
        case kcInt32: {
            int32_t x;
            std::memcpy(&x, values[i], 4);
            out.push_back(IntToStr(x));
            break;
        }
        case kcInt64:
        case kcBCD: {
            int64_t x;
            std::memcpy(&x, values[i], 8);
            out.push_back(IntToStr(x));
            break;
        }
        case kcBoolean:
            out.push_back(values[i][0] ? "True" : "False");
            break;
        case kcReal: {
            double x;
            std::memcpy(&x, values[i], 8);
            out.push_back(FloatToStrGeneral(x));
            break;
        }
        case kcString:
            out.emplace_back(reinterpret_cast<const char*>(values[i]),
                             static_cast<size_t>(sizes[i]));
            break;
        default:
            out.push_back("?");
            break;
        }
    }
    out.push_back("Addr=" + IntToStr(KeyAddress(key)));
    out.push_back("Count=" + IntToStr(KeyCount(key)));
    out.push_back("Size=" + IntToStr(KeyLength(key)));
    return out;
}

// ---------------------------------------------------------------------------------------------
// TBTree: descent and cursor

void TBTree::PreparePath() {
    FPathPrepared = FCursorValid = false;
    FTreeEmpty = true;
    ZanAssert(FOpen, "BTree is not open");
    const uint32_t root = *FRoot;
    const uint32_t depth = *FDepth;
    if (root == 0) {
        FNodes.clear();
        FPositions.clear();
        return;
    }
    if (depth == 0 || depth > C_MAXDEPTH) ZanDatabaseError(C_INDEXCORRUPT, "TBTree.PreparePath");
    while (FNodes.size() < depth) {
        FNodes.push_back(std::make_unique<TNode>());
        FNodes.back()->Open(this, FIO, FPageSize);
    }
    FNodes.resize(depth);
    FPositions.assign(depth, 0);
    FSpare->Forget();
    ReadLevel(0, root);
}

void TBTree::ReadLevel(size_t level, uint32_t address) {
    TNode& n = *FNodes[level];
    // A node that cannot be read, or is not what its level needs, leaves no path: the cursor
    // stands nowhere, so no later call reads the record address of a half-read node.
    try {
        n.ReadNode(address);
    } catch (...) {
        n.Forget();
        FPathPrepared = FCursorValid = false;
        throw;
    }
    const bool leafLevel = level + 1 == FNodes.size();
    if (n.CheckIsLeaf() != leafLevel || (n.CheckNodeEmpty() && (level > 0 || !leafLevel))) {
        n.Forget();
        FPathPrepared = FCursorValid = false;
        ZanDatabaseError(C_INDEXCORRUPT, "TBTree.ReadNode");
    }
}

int32_t TBTree::Descend(int32_t fieldCount, bool force, bool crossLeaves) {
    PreparePath();
    if (*FRoot == 0) return -1;
    if (FNodes[0]->CheckNodeEmpty()) {
        FPathPrepared = true;
        return -1;
    }
    FTreeEmpty = false;
    const int32_t k = FKeyType == ikFixed ? fieldCount : 0;
    int32_t c = 0;
    for (size_t level = 0; level < FNodes.size(); ++level) {
        TNode& n = *FNodes[level];
        int32_t pos = 0;
        c = n.SearchNode(k, pos);
        FPositions[level] = pos;
        if (level + 1 < FNodes.size()) ReadLevel(level + 1, KeyAddress(n.EntryAt(pos)));
    }
    TNode& leaf = *FNodes.back();
    FPathPrepared = FCursorValid = true;
    if (force && leaf.GetCursor() >= leaf.GetBytesUsed()) {
        const uint32_t next = leaf.GetNext();
        if (next == 0 || !crossLeaves) {
            leaf.ForceCursorToPhysicalKey();
            FPositions.back() = leaf.GetCursor();
            return c;
        }
        // Every key of this leaf is smaller: the first key not less than the search key is the
        // first of the next leaf. Going there makes the answer independent of where the leaves
        // happen to be split (a partial key matching from a leaf's first entry on is found).
        const uint32_t here = leaf.GetAddress();
        ReadLevel(FNodes.size() - 1, next);
        if (leaf.GetPrior() != here) {
            leaf.Forget();
            FPathPrepared = FCursorValid = false;
            ZanDatabaseError(C_INDEXCORRUPT, "TBTree.IndexSearch");
        }
        leaf.SetCursorToEnd(true);
        const std::vector<uint8_t> savedKey = FSearchKey;
        const TKeyMarkers savedMarkers = FMarkers;
        RefreshPath();
        FSearchKey = savedKey;
        DecodeSearchKey(&savedMarkers);
        c = CompareToOptimizedKey(k, FNodes.back()->GetCurrentKey());
    }
    return c;
}

void TBTree::RefreshPath() {
    TNode& leaf = *FNodes.back();
    std::fill(FSearchKey.begin(), FSearchKey.end(), 0);
    leaf.CopyCurrentKey(FSearchKey.data());
    DecodeSearchKey(nullptr);
    // Every entry is distinct, so the descent must find this one exactly; when it does not, the
    // pages disagree with each other and walking on could go round in circles.
    if (Descend(0, true, false) != 0) {
        GDBLogger().LogItem("BTree", "Failure of internal refresh to cursor");
        FPathPrepared = FCursorValid = false;
        ZanDatabaseError(C_INDEXCORRUPT, "TBTree.RefreshPath");
    }
}

int32_t TBTree::IndexSearch(TIndexSearchType searchType, const TSearchModifier* modifier) {
    int32_t k = 0;
    if (modifier && modifier->LimitedSearch) {
        k = modifier->IncludedKeyFieldCount;
        if (k < 1) {
            k = 0;
            while (k < KeyFieldCount() && !FFields[static_cast<size_t>(k)].Hidden)
                ++k;
        }
    }
    // A search limited to the first k fields compares the rest as below every value (an equal
    // search, GE, LT) or above it (GT, LE), whatever the key holds there: the descent then
    // lands on the first entry of the run of equal leading fields, or behind the run, on
    // fixed-size and variable-length pages alike, whatever the null order of the rest.
    const bool limited = k >= 1 && k < KeyFieldCount();
    if (limited) {
        // Kept as the key's markers, so that a descent crossing leaves restores them too.
        TKeyMarkers markers = FMarkers;
        markers.resize(static_cast<size_t>(KeyFieldCount()), 1);
        const int32_t edge = searchType == stGT || searchType == stLE ? 2 : 0;
        for (size_t i = static_cast<size_t>(k); i < markers.size(); ++i)
            markers[i] = edge;
        DecodeSearchKey(&markers);
    }
    int32_t c = Descend(0, true);
    if (FTreeEmpty) return c;
    // Equal: the leading fields of the entry landed on match the key's.
    if (limited && searchType == stEQ)
        c = FCursorValid && FNodes.back()->GetCursor() < FNodes.back()->GetBytesUsed()
                ? CompareToOptimizedKey(k, FNodes.back()->GetCurrentKey())
                : 1;
    bool found = false;
    switch (searchType) {
    case stLT:
        found = c > 0 ? true : PriorRecord();
        break;
    case stLE:
        found = c >= 0 ? true : PriorRecord();
        break;
    case stEQ:
        found = c == 0;
        break;
    case stGE:
        found = c > 0 ? NextRecord() : true;
        break;
    case stGT:
        found = c >= 0 ? NextRecord() : true;
        break;
    case stLEG:
        // Above every key of its leaf: the next entry, or, at the end of the index, the last
        // entry, which is then the nearest one below.
        if (c > 0) NextRecord();
        found = true;
        break;
    }
    if (found && !FCursorValid) RefreshPath();
    return found ? 0 : -1;
}

bool TBTree::NextRecord() {
    if (!FCursorValid || FNodes.empty()) return false;
    TNode& leaf = *FNodes.back();
    if (leaf.NextRecord()) {
        FPositions.back() = leaf.GetCursor();
        return true;
    }
    const uint32_t next = leaf.GetNext();
    if (next == 0) return false;
    const uint32_t here = leaf.GetAddress();
    ReadLevel(FNodes.size() - 1, next);
    if (leaf.GetPrior() != here) {
        leaf.Forget();
        FCursorValid = false;
        ZanDatabaseError(C_INDEXCORRUPT, "TBTree.NextRecord");
    }
    leaf.SetCursorToEnd(true);
    RefreshPath();
    return true;
}

bool TBTree::PriorRecord() {
    if (!FCursorValid || FNodes.empty()) return false;
    TNode& leaf = *FNodes.back();
    if (leaf.PriorRecord()) {
        FPositions.back() = leaf.GetCursor();
        return true;
    }
    const uint32_t prior = leaf.GetPrior();
    if (prior == 0) return false;
    const uint32_t here = leaf.GetAddress();
    ReadLevel(FNodes.size() - 1, prior);
    if (leaf.GetNext() != here) {
        leaf.Forget();
        FCursorValid = false;
        ZanDatabaseError(C_INDEXCORRUPT, "TBTree.PriorRecord");
    }
    leaf.SetCursorToEnd(false);
    RefreshPath();
    return true;
}

uint32_t TBTree::GetRecAddr() {
    if (!FCursorValid || FNodes.empty())
        ZanDatabaseError(C_INTERNALERROR, "TBTree.GetRecAddr", "CursorPos invalid");
    TNode& leaf = *FNodes.back();
    if (!leaf.CheckIsLeaf())
        ZanDatabaseError(C_INTERNALERROR, "TBTree.GetRecAddr",
                         "Attempt to read record address from non-leaf node");
    return leaf.GetRecordAddress();
}

const uint8_t* TBTree::GetCurrentKeyBuf() {
    if (!FPathPrepared || FNodes.empty())
        ZanDatabaseError(C_INTERNALERROR, "TBTree.GetCurrentKeyBuf", "CurrentKeyCursor is invalid");
    return FNodes.back()->GetCurrentKey();
}

int32_t TBTree::CompareKeyToCurrentKeyBuf(const TKeyMarkers* markers, const uint8_t* key) {
    return CompareKeys(0, markers, nullptr, key, GetCurrentKeyBuf());
}

uint32_t TBTree::GetRecordCount(bool /*refresh*/) {
    if (*FRoot == 0) return 0;
    if (!FNodes.empty() && FNodes[0]->GetAddress() != *FRoot)
        GDBLogger().NamedMonitorDelta("ROOTADDRNOTVALID", 1);
    if (!FPathPrepared || FNodes.empty() || FNodes[0]->GetAddress() != *FRoot) PreparePath();
    return FNodes[0]->GetRecordCount();
}

uint32_t TBTree::GetRecordNo() {
    if (!FCursorValid || FNodes.empty()) return 0;
    uint32_t n = 0;
    for (size_t level = 0; level < FNodes.size(); ++level)
        n += FNodes[level]->CountBefore(FPositions[level]);
    return n + 1;
}

uint32_t TBTree::GetAddrOfRecNo(uint32_t recNo) {
    PreparePath();
    if (*FRoot == 0) return 0;
    if (FNodes[0]->CheckNodeEmpty()) {
        FPathPrepared = true;
        return 0;
    }
    FTreeEmpty = false;
    const uint32_t total = FNodes[0]->GetRecordCount();
    uint32_t r = std::max<uint32_t>(1, std::min(recNo, total));
    uint32_t address = 0;
    for (size_t level = 0; level < FNodes.size(); ++level) {
        TNode& n = *FNodes[level];
        uint32_t skipped = 0;
        address = n.SearchNodeByRecNo(r, skipped);
        FPositions[level] = n.GetCursor();
        r = skipped < r ? r - skipped : 1;
        if (level + 1 < FNodes.size()) ReadLevel(level + 1, address);
    }
    FPathPrepared = FCursorValid = true;
    return address;
}

// ---------------------------------------------------------------------------------------------
// TBTree: insert and delete

void TBTree::BuildParentEntry(const TNode& child, uint8_t* dest, int64_t count) const {
    std::memset(dest, 0, static_cast<size_t>(FMaxKey) + 1);
    if (child.GetBytesUsed() > 0) {
        std::memcpy(dest, child.EntryAt(0), static_cast<size_t>(child.EntryLen(0)));
    } else {
        SetKeyLength(dest, static_cast<uint16_t>(
                               FKeyType == ikFixed ? FMaxKey : C_KEYBITMAPOFS + FKeyDataOffset));
    }
    SetKeyCount(dest, count >= 0 ? static_cast<uint32_t>(count) : child.GetRecordCount());
    SetKeyAddress(dest, child.GetAddress());
}

namespace {
std::vector<uint8_t> EntryCopy(const uint8_t* key) {
    return std::vector<uint8_t>(key, key + KeyLength(key));
}
} // namespace

int32_t TBTree::InsertKey() {
    if (!FPathPrepared || FNodes.empty())
        ZanDatabaseError(C_INTERNALERROR, "TBTree.InsertKey", "CursorPos invalid");
    try {
        // Splits and parent changes are one change with the key.
        TDiskWriteScope scope(FIO ? FIO->GetDiskMgr() : nullptr);
        DoInsert();
    } catch (...) {
        InvalidateInternalBuffers();
        throw;
    }
    FPathPrepared = FCursorValid = false;
    return 0;
}

int32_t TBTree::DeleteKey() {
    if (!FCursorValid || FNodes.empty() ||
        FNodes.back()->GetCursor() >= FNodes.back()->GetBytesUsed())
        ZanDatabaseError(C_INTERNALERROR, "TBTree.DeleteKey", "CursorPos invalid");
    try {
        TDiskWriteScope scope(FIO ? FIO->GetDiskMgr() : nullptr);
        DoDelete();
    } catch (...) {
        InvalidateInternalBuffers();
        throw;
    }
    FPathPrepared = FCursorValid = false;
    return 0;
}

int32_t TBTree::IdxInsert() {
    const int32_t c = Descend(0, false);
    if (!FTreeEmpty && c == 0) return -1;
    return InsertKey();
}

int32_t TBTree::IdxDelete() {
    const int32_t c = Descend(0, false);
    if (FTreeEmpty || c != 0) return -1;
    return DeleteKey();
}

void TBTree::DoInsert() {
    const size_t leafLevel = FNodes.size() - 1;
    TNode& leaf = *FNodes[leafLevel];
    // The new entry is built in the work key (free until the split below needs it).
    uint8_t* key = FWorkKey.data();
    std::memcpy(key, FSearchKey.data(),
                std::min<size_t>(KeyLength(FSearchKey.data()), FWorkKey.size()));
    SetKeyCount(key, 0);
    leaf.InsertKey(FPositions[leafLevel], key);
    TLevelChange change;
    if (!leaf.CheckNodeFull()) {
        leaf.WriteNode();
    } else if (leafLevel == 0) {
        SplitLeafRoot();
        return;
    } else {
        const uint32_t newAddress = AllocatePage(FScratch.data());
        leaf.SplitNode(*FSpare, newAddress);
        FSpare->WriteNode();
        leaf.WriteNode();
        change.Split = true;
        BuildParentEntry(*FSpare, FWorkKey.data());
        change.NewEntry = EntryCopy(FWorkKey.data());
    }
    for (size_t level = leafLevel; level-- > 0;) {
        TLevelChange next;
        ApplyToParent(level, change, next, false);
        change = std::move(next);
    }
}

void TBTree::SplitLeafRoot() {
    TNode& root = *FNodes[0];
    std::fill(FScratch.begin(), FScratch.end(), 0);
    const uint32_t upper = AllocatePage(FScratch.data());
    root.SplitNode(*FSpare, upper);
    const uint32_t lower = AllocatePage(root.Buffer());
    FSpare->SetPrior(lower);
    FSpare->WriteNode();
    std::vector<uint8_t> lowerEntry(static_cast<size_t>(FMaxKey) + 1);
    BuildParentEntry(root, lowerEntry.data());
    SetKeyAddress(lowerEntry.data(), lower);
    BuildParentEntry(*FSpare, FWorkKey.data());
    root.ClearNode();
    root.SetLeaf(false);
    root.InsertKey(0, lowerEntry.data());
    root.InsertKey(root.GetBytesUsed(), FWorkKey.data());
    root.WriteNode();
    *FDepth += 1;
}

void TBTree::ApplyToParent(size_t level, const TLevelChange& in, TLevelChange& out, bool deleting) {
    TNode& node = *FNodes[level];
    const int32_t page = static_cast<int32_t>(FPageSize);
    uint8_t* work = FWorkKey.data();
    const int32_t childPos = FPositions[level];
    bool done = false;
    bool entryOnly = false; // only the child's entry changed, in place
    if (!in.ChildRemoved) {
        // A child that split or shared entries with a sibling is counted again; otherwise it
        // holds exactly the one key inserted or deleted below it more or less than before.
        int64_t count = -1;
        if (!in.Split && in.SiblingPos < 0) {
            const int64_t before = KeyCount(node.EntryAt(childPos));
            if (before > 0 || !deleting) count = before + (deleting ? -1 : 1);
        }
        // Most changes leave the child's first key where it was: its entry here then differs
        // in the count alone, which is changed in place (on a page with room for a key, as the
        // update below asks; a fuller one is rebuilt).
        const TNode& child = *FNodes[level + 1];
        const uint8_t* old = node.EntryAt(childPos);
        if (count >= 0 && count <= UINT32_MAX && child.GetBytesUsed() > 0 &&
            node.GetBytesUsed() + C_NODEHEADERSIZE + FMaxKey < page &&
            KeyAddress(old) == child.GetAddress() && KeyLength(old) == child.EntryLen(0) &&
            KeyLength(old) >= C_KEYBITMAPOFS &&
            std::memcmp(old + C_KEYBITMAPOFS, child.EntryAt(0) + C_KEYBITMAPOFS,
                        size_t(KeyLength(old) - C_KEYBITMAPOFS)) == 0) {
            SetKeyCount(node.MutableEntryAt(childPos), static_cast<uint32_t>(count));
            done = entryOnly = true;
        } else {
            BuildParentEntry(child, work, count);
        }
    }
    if (!done && !in.Split && in.SiblingPos < 0 && !in.ChildRemoved) {
        const int32_t diff = KeyLength(work) - node.EntryLen(childPos);
        if (node.GetBytesUsed() + diff + C_NODEHEADERSIZE + FMaxKey < page) {
            node.UpdateKey(childPos, work);
            done = true;
            entryOnly = diff == 0;
        }
    }
    if (!done) {
        // Rebuild the page from its entries with the changes applied.
        std::vector<uint8_t> flat;
        std::vector<std::pair<int32_t, int32_t>> spans; // offset in flat, length
        int32_t childIndex = -1;
        auto add = [&](const uint8_t* e) {
            const int32_t len = KeyLength(e);
            spans.emplace_back(static_cast<int32_t>(flat.size()), len);
            flat.insert(flat.end(), e, e + len);
        };
        for (int32_t p = 0; p < node.GetBytesUsed(); p = node.NextPos(p)) {
            if (p == childPos) {
                childIndex = static_cast<int32_t>(spans.size());
                if (!in.ChildRemoved) add(work);
                if (in.Split) add(in.NewEntry.data());
            } else if (p == in.SiblingPos) {
                if (!in.SiblingMerged) add(in.SiblingEntry.data());
            } else {
                add(node.EntryAt(p));
            }
        }
        ZanAssert(childIndex >= 0, "Node and InsertPos List not in sync");
        const int32_t total = static_cast<int32_t>(flat.size());
        auto pack = [&](TNode& target, size_t from, size_t to) {
            target.ClearNode();
            target.SetLeaf(false);
            int32_t used = 0;
            for (size_t i = from; i < to; ++i) {
                std::memcpy(target.MutableEntryAt(used), flat.data() + spans[i].first,
                            static_cast<size_t>(spans[i].second));
                used += spans[i].second;
            }
            target.SetBytesUsed(used);
        };
        if (total + C_NODEHEADERSIZE + FMaxKey < page) {
            pack(node, 0, spans.size());
            done = true;
        } else {
            size_t j = 0;
            while (j + 1 < spans.size() && spans[j].first + spans[j].second <= total / 2)
                ++j;
            j = std::clamp<size_t>(j, 1, spans.size() - 1);
            if (level == 0) {
                // Root split: both halves move to new pages, the root keeps its address.
                std::fill(FScratch.begin(), FScratch.end(), 0);
                const uint32_t upper = AllocatePage(FScratch.data());
                const uint32_t lower = AllocatePage(FScratch.data());
                std::vector<uint8_t> lowerEntry(static_cast<size_t>(FMaxKey) + 1);
                FSpare->SetAddress(lower);
                pack(*FSpare, 0, j);
                FSpare->WriteNode();
                BuildParentEntry(*FSpare, lowerEntry.data());
                FSpare->SetAddress(upper);
                pack(*FSpare, j, spans.size());
                FSpare->WriteNode();
                BuildParentEntry(*FSpare, work);
                node.ClearNode();
                node.SetLeaf(false);
                node.InsertKey(0, lowerEntry.data());
                node.InsertKey(node.GetBytesUsed(), work);
                node.WriteNode();
                *FDepth += 1;
                return;
            }
            std::fill(FScratch.begin(), FScratch.end(), 0);
            const uint32_t upper = AllocatePage(FScratch.data());
            pack(node, 0, j);
            FSpare->SetAddress(upper);
            pack(*FSpare, j, spans.size());
            FSpare->WriteNode();
            node.WriteNode();
            out.Split = true;
            BuildParentEntry(*FSpare, work);
            out.NewEntry = EntryCopy(work);
            return;
        }
    }
    if (deleting && node.GetBytesUsed() == 0) {
        if (level > 0) {
            RemoveEmptyNode(level, out);
        } else {
            // Every child is gone: the tree is empty again, a single leaf.
            node.ClearNode();
            node.SetLeaf(true);
            node.SetNext(0);
            node.SetPrior(0);
            node.WriteNode();
            *FDepth = 1;
        }
    } else if (level > 0 && deleting && node.CheckNodeTooEmpty() &&
               FNodes[level - 1]->GetCount() > 1) {
        Rebalance(level, out);
    } else if (entryOnly) {
        node.WriteEntry(childPos);
    } else {
        node.WriteNode();
    }
}

void TBTree::RemoveEmptyNode(size_t level, TLevelChange& out) {
    TNode& node = *FNodes[level];
    if (node.CheckIsLeaf()) node.UnlinkLeaf();
    ReleasePage(node.GetAddress());
    out.ChildRemoved = true;
}

void TBTree::Rebalance(size_t level, TLevelChange& out) {
    TNode& node = *FNodes[level];
    TNode& parent = *FNodes[level - 1];
    const int32_t parentPos = FPositions[level - 1];
    const int32_t siblingPos = parent.GetRedistributeNode(parentPos);
    if (siblingPos < 0) {
        node.WriteNode();
        return;
    }
    const uint32_t siblingAddress = KeyAddress(parent.EntryAt(siblingPos));
    const bool before = siblingPos < parentPos;
    // A fixed-size leaf holds as many entries as its parent entry counts records: when that
    // count already shows the two pages would gain nothing (the rule below), the sibling is not
    // read. A wrong count can only skip a merge here, never damage a page.
    if (FKeyType == ikFixed && node.CheckIsLeaf()) {
        const int64_t guess = int64_t(node.GetBytesUsed()) +
                              int64_t(KeyCount(parent.EntryAt(siblingPos))) * FMaxKey;
        if (guess > int64_t(FPageSize / 3) &&
            guess / 2 + C_NODEHEADERSIZE < int64_t(FPageSize / 2)) {
            node.WriteNode();
            return;
        }
    }
    TNode& sibling = *FSpare;
    sibling.Forget();
    sibling.ReadNode(siblingAddress);
    const bool leaf = node.CheckIsLeaf();
    bool linksOk = true;
    if (leaf)
        linksOk =
            before ? (sibling.GetNext() == node.GetAddress() && node.GetPrior() == siblingAddress)
                   : (sibling.GetPrior() == node.GetAddress() && node.GetNext() == siblingAddress);
    if (siblingAddress == node.GetAddress() || sibling.CheckIsLeaf() != leaf ||
        sibling.CheckNodeEmpty() || !linksOk) {
        sibling.Forget();
        ZanDatabaseError(C_INDEXCORRUPT, "TBTree.DeleteKey");
    }
    // Two pages that cannot be merged and together hold less than two half pages gain nothing
    // from sharing their entries: both stay too empty, and every later delete from either would
    // move entries back and forth again, rewriting the sibling and the parent each time.
    const int32_t total = node.GetBytesUsed() + sibling.GetBytesUsed();
    if (total > static_cast<int32_t>(FPageSize / 3) &&
        total / 2 + C_NODEHEADERSIZE < static_cast<int32_t>(FPageSize / 2)) {
        node.WriteNode();
        return;
    }
    const int32_t r = before ? sibling.RedistributeNodes(node) : node.RedistributeNodes(sibling);
    if (r > 0) {
        sibling.WriteNode();
        node.WriteNode();
        out.SiblingPos = siblingPos;
        BuildParentEntry(sibling, FWorkKey.data());
        out.SiblingEntry = EntryCopy(FWorkKey.data());
    } else if (r < 0) {
        node.MergeNodes(sibling, !before);
        node.WriteNode();
        ReleasePage(siblingAddress);
        out.SiblingPos = siblingPos;
        out.SiblingMerged = true;
    } else {
        node.WriteNode();
    }
}

void TBTree::DoDelete() {
    const size_t leafLevel = FNodes.size() - 1;
    TNode& leaf = *FNodes[leafLevel];
    leaf.DeleteKey(FPositions[leafLevel]);
    TLevelChange change;
    // An emptied leaf always leaves the tree: under a parent with no other child there is no
    // sibling to merge it with.
    if (leafLevel > 0 && leaf.GetBytesUsed() == 0)
        RemoveEmptyNode(leafLevel, change);
    else if (leafLevel > 0 && leaf.CheckNodeTooEmpty() && FNodes[leafLevel - 1]->GetCount() > 1)
        Rebalance(leafLevel, change);
    else
        leaf.WriteNode();
    for (size_t level = leafLevel; level-- > 0;) {
        TLevelChange next;
        ApplyToParent(level, change, next, true);
        change = std::move(next);
    }
    // A root left with one child takes the child's page image; the root keeps its address.
    TNode& root = *FNodes[0];
    while (*FDepth > 1 && root.GetCount() == 1) {
        const uint32_t child = KeyAddress(root.EntryAt(0));
        FSpare->Forget();
        FSpare->ReadNode(child);
        if (child == root.GetAddress()) ZanDatabaseError(C_INDEXCORRUPT, "TBTree.DeleteKey");
        root.CopyNode(FSpare->Buffer());
        if (root.CheckIsLeaf()) {
            root.SetNext(0);
            root.SetPrior(0);
        }
        root.WriteNode();
        ReleasePage(child);
        *FDepth -= 1;
    }
}

// ---------------------------------------------------------------------------------------------
// TBTree: bulk walks and checks

void TBTree::ListMatchingRecords(const uint8_t* key, int32_t fieldCount, uint32_t stopAddress,
                                 TIndexSearchType searchType, bool reverse, TCompoundList& list,
                                 bool& flag) {
    flag = false;
    if (!FCursorValid || FNodes.empty()) return;
    TNode& leaf = *FNodes.back();
    if (leaf.GetCursor() >= leaf.GetBytesUsed()) return;
    std::vector<uint8_t> keyCopy(key ? key : leaf.GetCurrentKey(),
                                 (key ? key : leaf.GetCurrentKey()) + (FMaxKey + 1));
    SetKeyLength(keyCopy.data(),
                 std::min<uint16_t>(KeyLength(keyCopy.data()), static_cast<uint16_t>(FMaxKey)));
    const uint8_t* k = keyCopy.data();
    const bool backwards = searchType == stLT || searchType == stLE;
    const int32_t c = CompareKeys(fieldCount, nullptr, nullptr, leaf.GetCurrentKey(), k);
    if (backwards && c > 0) return;
    if (!backwards && (searchType == stGE || searchType == stGT) && c < 0) return;
    const uint32_t limit = FNodes[0]->GetRecordCount() + 1;
    uint32_t recNo = GetRecordNo();
    const size_t leafLevel = FNodes.size() - 1;
    const int32_t first = list.Count();
    FPathPrepared = FCursorValid = false; // the walk moves the leaf node along the siblings
    for (;;) {
        bool stop = false;
        if (backwards) {
            for (int32_t p = leaf.GetCursor(); p >= 0; p = leaf.PriorPos(p)) {
                const uint32_t a = KeyAddress(leaf.EntryAt(p));
                list.Add(static_cast<int32_t>(a), static_cast<int32_t>(recNo--));
                if (a == stopAddress) stop = true;
            }
        } else {
            for (int32_t p = leaf.GetCursor(); p < leaf.GetBytesUsed(); p = leaf.NextPos(p)) {
                if (searchType == stEQ &&
                    CompareKeys(fieldCount, nullptr, nullptr, k, leaf.EntryAt(p)) != 0) {
                    stop = true;
                    break;
                }
                const uint32_t a = KeyAddress(leaf.EntryAt(p));
                list.Add(static_cast<int32_t>(a), static_cast<int32_t>(recNo++));
                if (a == stopAddress) {
                    stop = true;
                    break;
                }
            }
        }
        if (static_cast<uint32_t>(list.Count() - first) > limit)
            ZanDatabaseError(C_INDEXCORRUPT, "TBTree.ListMatchingRecords");
        const uint32_t here = leaf.GetAddress();
        const uint32_t next = backwards ? leaf.GetPrior() : leaf.GetNext();
        if (stop || next == 0) break;
        ReadLevel(leafLevel, next);
        if ((backwards ? leaf.GetNext() : leaf.GetPrior()) != here) {
            leaf.Forget();
            ZanDatabaseError(C_INDEXCORRUPT, "TBTree.ListMatchingRecords");
        }
        leaf.SetCursorToEnd(!backwards);
    }
    if (reverse && backwards) {
        std::vector<int32_t> a(list.List1().begin() + first, list.List1().end());
        std::vector<int32_t> b(list.List2().begin() + first, list.List2().end());
        TCompoundList result;
        for (int32_t i = 0; i < first; ++i)
            result.Add(list.List1()[i], list.List2()[i]);
        for (size_t i = a.size(); i-- > 0;)
            result.Add(a[i], b[i]);
        list = result;
    }
}

void TBTree::FillHashTable(int32_t fieldNo, TZanBaseHash& hash) {
    if (GetAddrOfRecNo(1) == 0 && FTreeEmpty) return;
    const size_t leafLevel = FNodes.size() - 1;
    TNode& leaf = *FNodes[leafLevel];
    const uint32_t limit = FNodes[0]->GetRecordCount() + 1;
    FPathPrepared = FCursorValid = false;
    for (uint32_t leaves = 0;; ++leaves) {
        if (leaves > limit) ZanDatabaseError(C_INDEXCORRUPT, "TBTree.FillHashTable");
        leaf.FillHashTable(fieldNo, hash);
        const uint32_t here = leaf.GetAddress();
        const uint32_t next = leaf.GetNext();
        if (next == 0) break;
        ReadLevel(leafLevel, next);
        if (leaf.GetPrior() != here) {
            leaf.Forget();
            ZanDatabaseError(C_INDEXCORRUPT, "TBTree.FillHashTable");
        }
    }
}

void TBTree::ListReadAheadRecords(TReadAheadDirection direction, int32_t count,
                                  TReadAheadBuffer& buffer) {
    if (!FCursorValid || FNodes.empty() || count < 1) return;
    TNode& leaf = *FNodes.back();
    if (leaf.GetCursor() >= leaf.GetBytesUsed()) return;
    const auto add = [&](const uint8_t* e, int32_t recNo) {
        if (buffer.GetIndexOfBufferItem(KeyAddress(e)) >= 0)
            ZanDatabaseError(C_INTERNALERROR, "TBTree.ListReadAheadRecords",
                             "Read ahead buffer has duplicate records");
        TReadAheadBufferItem* item = buffer.Add();
        item->SetRecAddr(KeyAddress(e));
        item->SetRecNo(recNo);
        if (item->GetKeyBuffer())
            std::memcpy(item->GetKeyBuffer(), e,
                        std::min<size_t>(KeyLength(e), static_cast<size_t>(std::max(
                                                           buffer.GetKeyBufferSize(), 0))));
    };
    if (direction == rdForwards) {
        // Forwards the list starts at the cursor: the entries before it are not walked.
        uint32_t recNo = GetRecordNo();
        for (int32_t p = leaf.GetCursor(), listed = 0; p < leaf.GetBytesUsed() && listed < count;
             p = leaf.NextPos(p), ++listed)
            add(leaf.EntryAt(p), static_cast<int32_t>(recNo++));
        return;
    }
    std::vector<int32_t> starts;
    int32_t cursorIndex = 0;
    for (int32_t p = 0; p < leaf.GetBytesUsed(); p = leaf.NextPos(p)) {
        if (p == leaf.GetCursor()) cursorIndex = static_cast<int32_t>(starts.size());
        starts.push_back(p);
    }
    const int32_t n = static_cast<int32_t>(starts.size());
    int32_t first, last;
    if (direction == rdBackwards) {
        first = std::max(0, cursorIndex - count + 1);
        last = cursorIndex;
    } else if (direction == rdCenter) {
        first = std::max(0, cursorIndex - count / 2);
        last = std::min(n - 1, first + count - 1);
    } else {
        first = cursorIndex;
        last = std::min(n - 1, cursorIndex + count - 1);
    }
    // Record numbers come from the subtree counts of the path, which a damaged page may set to
    // anything: count them unsigned, as GetRecordNo does, so they wrap instead of overflowing.
    uint32_t recNo = GetRecordNo() - static_cast<uint32_t>(cursorIndex - first);
    for (int32_t i = first; i <= last; ++i)
        add(leaf.EntryAt(starts[static_cast<size_t>(i)]), static_cast<int32_t>(recNo++));
}

uint32_t TBTree::CheckSubtree(uint32_t address, uint32_t level, std::vector<uint32_t>* pages,
                              TCheckState& st, std::vector<uint8_t>& firstKey) {
    auto fail = [](const std::string& what) {
        ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CheckTree", what);
    };
    TNode n;
    n.Open(this, FIO, FPageSize);
    n.ReadNode(address);
    ++st.Pages;
    if (pages) pages->push_back(address);
    const bool leafLevel = level + 1 == *FDepth;
    if (n.CheckIsLeaf() != leafLevel) fail("Leaf flag does not match the level");
    if (n.CheckNodeEmpty() && level > 0) fail("Empty node in check order");
    firstKey.clear();
    if (n.GetBytesUsed() > 0) firstKey = EntryCopy(n.EntryAt(0));
    if (leafLevel) {
        if (n.GetPrior() != st.PrevLeaf || st.PrevNext != (st.PrevLeaf ? address : 0))
            fail("******ERROR in NEXT/PRIOR LINKS");
        for (int32_t p = 0; p < n.GetBytesUsed(); p = n.NextPos(p)) {
            if (KeyCount(n.EntryAt(p)) != 0) fail("Leaf entry with a count");
            if (!st.PrevKey.empty() &&
                CompareKeys(0, nullptr, nullptr, n.EntryAt(p), st.PrevKey.data()) <= 0)
                fail("Check Order error");
            st.PrevKey.assign(n.EntryAt(p), n.EntryAt(p) + FMaxKey + 1);
        }
        st.PrevLeaf = address;
        st.PrevNext = n.GetNext();
        return static_cast<uint32_t>(n.GetCount());
    }
    if (n.GetNext() != 0 || n.GetPrior() != 0) fail("Internal node with links");
    uint32_t total = 0;
    std::vector<uint8_t> childFirst;
    for (int32_t p = 0; p < n.GetBytesUsed(); p = n.NextPos(p)) {
        const uint8_t* e = n.EntryAt(p);
        const uint32_t sub = CheckSubtree(KeyAddress(e), level + 1, pages, st, childFirst);
        if (KeyCount(e) != sub) fail("Internal count differs from the records below");
        const int32_t len = KeyLength(e);
        if (childFirst.size() != static_cast<size_t>(len) ||
            std::memcmp(childFirst.data() + C_KEYBITMAPOFS, e + C_KEYBITMAPOFS,
                        static_cast<size_t>(len - C_KEYBITMAPOFS)) != 0)
            fail("Internal key differs from the first key of its child");
        total += sub;
    }
    return total;
}

uint32_t TBTree::CheckTree(std::vector<uint32_t>* pages) {
    if (*FRoot == 0) return 0;
    if (*FDepth == 0 || *FDepth > C_MAXDEPTH) ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CheckTree");
    TCheckState st;
    std::vector<uint8_t> first;
    CheckSubtree(*FRoot, 0, pages, st, first);
    if (st.PrevNext != 0)
        ZanDatabaseError(C_INDEXCORRUPT, "TBTree.CheckTree", "Last leaf has a next link");
    return st.Pages;
}

} // namespace zan
