#include "tools/vtask/late.h"

#include <cstring>
#include <utility>

#include "tools/vtask/text.h"

namespace vtask {

OleString ToOle(std::string_view utf8) {
    const std::u16string wide = Utf16FromUtf8(utf8);
    OleString out;
    out.reserve(wide.size());
    for (char16_t c : wide) out.push_back(static_cast<OLECHAR>(c));
    return out;
}

std::string FromOle(const OLECHAR *text, std::size_t length) {
    std::u16string wide;
    wide.reserve(length);
    for (std::size_t i = 0; i < length; ++i) wide.push_back(static_cast<char16_t>(text[i]));
    return Utf8FromUtf16(wide);
}

std::string FromBstr(BSTR text) { return text ? FromOle(text, SysStringLen(text)) : std::string(); }

// --- errors ------------------------------------------------------------------

namespace {

std::string ErrorText(HRESULT hr, std::int32_t number, const std::string &source, const std::string &description,
                      const std::string &member) {
    std::string text = "error " + std::to_string(number) + " (" + Hex32(static_cast<std::uint32_t>(number)) + ")";
    if (!member.empty()) text += " in " + member;
    if (!source.empty()) text += " from " + source;
    text += ": " + (description.empty() ? DescribeHresult(hr) : description);
    return text;
}

std::string TakeBstr(BSTR *text) {
    std::string out = FromBstr(*text);
    SysFreeString(*text);
    *text = nullptr;
    return out;
}

// The thread's error information, taken (and so cleared); false when there is none.
bool TakeErrorInfo(std::string *source, std::string *description, std::string *helpFile, DWORD *helpContext) {
    IErrorInfo *info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return false;
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetSource(&text))) *source = TakeBstr(&text);
    if (SUCCEEDED(info->GetDescription(&text))) *description = TakeBstr(&text);
    if (SUCCEEDED(info->GetHelpFile(&text))) *helpFile = TakeBstr(&text);
    info->GetHelpContext(helpContext);
    info->Release();
    return true;
}

}  // namespace

ComError::ComError(HRESULT hr_, std::int32_t number_, std::string source_, std::string description_,
                   std::string helpFile_, std::uint32_t helpContext_, std::string member_)
    : std::runtime_error(ErrorText(hr_, number_, source_, description_, member_)),
      hr(hr_),
      number(number_),
      source(std::move(source_)),
      description(std::move(description_)),
      helpFile(std::move(helpFile_)),
      helpContext(helpContext_),
      member(std::move(member_)) {
    if (description.empty()) description = DescribeHresult(hr);
}

std::int32_t ErrorNumberFromHresult(HRESULT hr) {
    const auto code = static_cast<std::uint32_t>(hr);
    if ((code & 0xFFFF0000u) == 0x800A0000u) return static_cast<std::int32_t>(code & 0xFFFF);
    return hr;
}

std::string DescribeHresult(HRESULT hr) {
    struct Text {
        std::uint32_t code;
        const char *text;
    };
    static constexpr Text kTexts[] = {
        {0x80004001, "Not implemented"},
        {0x80004002, "No such interface supported"},
        {0x80004003, "Invalid pointer"},
        {0x80004004, "Operation aborted"},
        {0x80004005, "Unspecified error"},
        {0x8000FFFF, "Catastrophic failure"},
        {0x80070002, "The system cannot find the file specified"},
        {0x80070003, "The system cannot find the path specified"},
        {0x80070005, "Access is denied"},
        {0x8007000E, "Not enough memory"},
        {0x80070035, "The network path was not found"},
        {0x80070050, "The file exists"},
        {0x80070057, "The parameter is incorrect"},
        {0x8007007B, "The file name or directory name is invalid"},
        {0x80040110, "Class does not support aggregation"},
        {0x80040111, "Class is not available"},
        {0x80040154, "Class not registered"},
        {0x800401F0, "CoInitialize has not been called"},
        {0x800401F3, "Invalid class string"},
        {0x800401F8, "The library of the class was not found"},
        {0x800401F9, "Error in the library of the class"},
        {0x80020003, "Member not found"},
        {0x80020004, "Parameter not found"},
        {0x80020005, "Type mismatch"},
        {0x80020006, "Unknown name"},
        {0x80020007, "No named arguments"},
        {0x80020008, "Bad variable type"},
        {0x8002000A, "Out of present range"},
        {0x8002000B, "Invalid index"},
        {0x8002000D, "Memory is locked"},
        {0x8002000E, "Invalid number of parameters"},
        {0x8002000F, "Parameter not optional"},
        {0x80020011, "Does not support a collection"},
        {0x800A0005, "Invalid procedure call or argument"},
        {0x800A0006, "Overflow"},
        {0x800A0009, "Subscript out of range"},
        {0x800A000D, "Type mismatch"},
        {0x800A01C9, "This key is already associated with an element of this collection"},
        {0x80041309, "The trigger was not found"},
        {0x8004130A, "The task is not ready to run"},
        {0x8004130B, "The task is not running"},
        {0x8004130C, "The Task Scheduler service is not installed"},
        {0x8004130D, "The task cannot be opened"},
        {0x8004130E, "The task object is not valid"},
        {0x8004130F, "No account information is set for the task"},
        {0x80041310, "The account name was not found"},
        {0x80041311, "The account database is corrupt"},
        {0x80041312, "Security services are not available"},
        {0x80041313, "The task object version is not supported"},
        {0x80041314, "The account option is not supported"},
        {0x80041315, "The Task Scheduler service is not running"},
    };
    for (const Text &t : kTexts)
        if (t.code == static_cast<std::uint32_t>(hr)) return t.text;
    return "Unknown error";
}

ComError ErrorFromInvoke(HRESULT hr, EXCEPINFO *info, UINT argError, std::size_t argCount, const std::string &member) {
    if (hr == DISP_E_EXCEPTION && info) {
        if (info->pfnDeferredFillIn) {
            info->pfnDeferredFillIn(info);
            info->pfnDeferredFillIn = nullptr;
        }
        std::string source = TakeBstr(&info->bstrSource);
        std::string description = TakeBstr(&info->bstrDescription);
        std::string helpFile = TakeBstr(&info->bstrHelpFile);
        HRESULT result = info->scode;
        std::int32_t number;
        if (info->wCode != 0) {
            number = info->wCode;
            if (result == 0) result = static_cast<HRESULT>(0x800A0000u | info->wCode);
        } else {
            number = ErrorNumberFromHresult(result);
        }
        return ComError(result, number, std::move(source), std::move(description), std::move(helpFile),
                        info->dwHelpContext, member);
    }
    if (info) {
        // A callee that failed otherwise may still have filled some strings.
        SysFreeString(info->bstrSource);
        SysFreeString(info->bstrDescription);
        SysFreeString(info->bstrHelpFile);
        info->bstrSource = info->bstrDescription = info->bstrHelpFile = nullptr;
    }
    std::string source, description, helpFile;
    DWORD helpContext = 0;
    if (TakeErrorInfo(&source, &description, &helpFile, &helpContext))
        return ComError(hr, ErrorNumberFromHresult(hr), source, description, helpFile, helpContext, member);
    description = DescribeHresult(hr);
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && argError < argCount)
        description += " (argument " + std::to_string(argCount - argError) + ")";
    return ComError(hr, ErrorNumberFromHresult(hr), "", description, "", 0, member);
}

ComError ErrorFromResult(HRESULT hr, const std::string &member) { return ErrorFromInvoke(hr, nullptr, 0, 0, member); }

// --- Variant -------------------------------------------------------------------

Variant::Variant(const Variant &other) {
    VariantInit(&v_);
    const HRESULT hr = VariantCopy(&v_, const_cast<VARIANT *>(&other.v_));
    if (FAILED(hr)) throw ErrorFromResult(hr, "copying a value");
}

Variant::Variant(Variant &&other) noexcept {
    v_ = other.v_;
    VariantInit(&other.v_);
}

Variant &Variant::operator=(Variant other) noexcept {
    std::swap(v_, other.v_);
    return *this;
}

Variant Variant::String(std::string_view utf8) {
    const OleString wide = ToOle(utf8);
    Variant v;
    v.v_.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!v.v_.bstrVal) throw ErrorFromResult(E_OUTOFMEMORY, "making a string");
    v.v_.vt = VT_BSTR;
    return v;
}

Variant Variant::Long(std::int32_t value) {
    Variant v;
    v.v_.vt = VT_I4;
    v.v_.lVal = value;
    return v;
}

Variant Variant::Short(std::int16_t value) {
    Variant v;
    v.v_.vt = VT_I2;
    v.v_.iVal = value;
    return v;
}

Variant Variant::Date(double value) {
    Variant v;
    v.v_.vt = VT_DATE;
    v.v_.date = value;
    return v;
}

Variant Variant::Bool(bool value) {
    Variant v;
    v.v_.vt = VT_BOOL;
    v.v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

Variant Variant::Bytes(const std::vector<std::uint8_t> &bytes) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(bytes.size()), 0};
    SAFEARRAY *array = SafeArrayCreate(VT_UI1, 1, &bound);
    if (!array) throw ErrorFromResult(E_OUTOFMEMORY, "making a byte array");
    void *data = nullptr;
    if (!bytes.empty()) {
        if (FAILED(SafeArrayAccessData(array, &data))) {
            SafeArrayDestroy(array);
            throw ErrorFromResult(E_UNEXPECTED, "making a byte array");
        }
        std::memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(array);
    }
    Variant v;
    v.v_.vt = VT_ARRAY | VT_UI1;
    v.v_.parray = array;
    return v;
}

Variant Variant::EmptyDateArray() {
    SAFEARRAYBOUND bound{0, 0};
    SAFEARRAY *array = SafeArrayCreate(VT_DATE, 1, &bound);
    if (!array) throw ErrorFromResult(E_OUTOFMEMORY, "making a date array");
    Variant v;
    v.v_.vt = VT_ARRAY | VT_DATE;
    v.v_.parray = array;
    return v;
}

Variant Variant::Adopt(VARIANT *v) {
    Variant out;
    out.v_ = *v;
    VariantInit(v);
    return out;
}

Variant Variant::Converted(VARTYPE vt, std::string_view what) const {
    Variant plain;
    HRESULT hr = VariantCopyInd(plain.get(), const_cast<VARIANT *>(&v_));
    if (SUCCEEDED(hr) && plain.v_.vt == vt) return plain;
    Variant out;
    if (SUCCEEDED(hr)) hr = VariantChangeType(out.get(), plain.get(), 0, vt);
    if (FAILED(hr))
        throw ComError(hr, 13, "", "Type mismatch: " + std::string(what) + " has the wrong type", "", 0, "");
    return out;
}

std::string Variant::AsString(std::string_view what) const {
    if (v_.vt == VT_EMPTY) return {};
    return FromBstr(Converted(VT_BSTR, what).v_.bstrVal);
}

std::int32_t Variant::AsLong(std::string_view what) const {
    switch (v_.vt) {
        case VT_I4: return v_.lVal;
        case VT_I2: return v_.iVal;
        case VT_UI1: return v_.bVal;
        case VT_BOOL: return v_.boolVal;
        // 32-bit values of the service (flags, codes) come back as they are.
        case VT_UI4: return static_cast<std::int32_t>(v_.ulVal);
        default: return Converted(VT_I4, what).v_.lVal;
    }
}

double Variant::AsDate(std::string_view what) const { return Converted(VT_DATE, what).v_.date; }

bool Variant::AsBool(std::string_view what) const { return Converted(VT_BOOL, what).v_.boolVal != VARIANT_FALSE; }

Object Variant::AsObject(std::string_view what) const {
    Variant plain;
    VariantCopyInd(plain.get(), const_cast<VARIANT *>(&v_));
    if (plain.v_.vt == VT_DISPATCH) return Object(plain.v_.pdispVal, true);
    if (plain.v_.vt == VT_UNKNOWN && plain.v_.punkVal) {
        IDispatch *dispatch = nullptr;
        const HRESULT hr = plain.v_.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void **>(&dispatch));
        if (FAILED(hr)) throw ErrorFromResult(hr, std::string(what));
        return Object(dispatch, false);
    }
    throw ComError(DISP_E_TYPEMISMATCH, 13, "", "Type mismatch: " + std::string(what) + " is not an object", "", 0, "");
}

namespace {

// The elements of a one-dimensional array, converted to `vt`, by `take`.
template <typename Take>
void ForEachElement(const VARIANT &v, VARTYPE vt, std::string_view what, Take take) {
    const VARIANT *value = &v;
    while (value->vt == (VT_BYREF | VT_VARIANT)) value = value->pvarVal;
    SAFEARRAY *array = nullptr;
    if (value->vt & VT_ARRAY) array = (value->vt & VT_BYREF) ? *value->pparray : value->parray;
    if (!(value->vt & VT_ARRAY))
        throw ComError(DISP_E_TYPEMISMATCH, 13, "", "Type mismatch: " + std::string(what) + " is not an array", "", 0,
                       "");
    if (!array || array->cDims == 0) return;
    if (SafeArrayGetDim(array) != 1)
        throw ComError(DISP_E_TYPEMISMATCH, 13, "", std::string(what) + " is not one-dimensional", "", 0, "");
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const VARTYPE element = value->vt & VT_TYPEMASK;
    for (LONG i = lower; i <= upper; ++i) {
        Variant item;
        if (element == VT_VARIANT) {
            if (FAILED(SafeArrayGetElement(array, &i, item.get()))) throw ErrorFromResult(DISP_E_BADINDEX, "");
        } else {
            item.get()->vt = element;
            if (FAILED(SafeArrayGetElement(array, &i, &item.get()->llVal))) {
                item.get()->vt = VT_EMPTY;
                throw ErrorFromResult(DISP_E_BADINDEX, std::string(what));
            }
        }
        take(item, vt);
    }
}

}  // namespace

std::vector<std::uint8_t> Variant::AsBytes(std::string_view what) const {
    std::vector<std::uint8_t> out;
    ForEachElement(v_, VT_UI1, what,
                   [&](const Variant &item, VARTYPE) { out.push_back(static_cast<std::uint8_t>(item.AsLong(what))); });
    return out;
}

std::vector<double> Variant::AsDates(std::string_view what) const {
    std::vector<double> out;
    ForEachElement(v_, VT_DATE, what, [&](const Variant &item, VARTYPE) { out.push_back(item.AsDate(what)); });
    return out;
}

// --- Arg and Object ------------------------------------------------------------

VARIANT Arg::Wire() {
    VARIANT w;
    if (ref_) {
        VariantInit(&w);
        w.vt = VT_BYREF | VT_VARIANT;
        w.pvarVal = ref_->get();
    } else {
        w = *value_.get();  // an alias; the Arg keeps owning the value
    }
    return w;
}

Object::Object(IDispatch *p, bool addRef) : p_(p) {
    if (p_ && addRef) p_->AddRef();
}

Object::Object(const Object &other) : p_(other.p_) {
    if (p_) p_->AddRef();
}

Object::Object(Object &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}

Object &Object::operator=(Object other) noexcept {
    std::swap(p_, other.p_);
    return *this;
}

Object::~Object() {
    if (p_) p_->Release();
}

Object Object::Create(std::string_view progId) {
    const OleString name = ToOle(progId);
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
    if (FAILED(hr)) throw ErrorFromResult(hr, "creating " + std::string(progId));
    IDispatch *p = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void **>(&p));
    if (FAILED(hr)) throw ErrorFromResult(hr, "creating " + std::string(progId));
    return Object(p, false);
}

DISPID Object::IdOf(std::string_view name) const {
    if (!p_) throw ComError(E_POINTER, E_POINTER, "", "no object to call " + std::string(name) + " on", "", 0, "");
    OleString wide = ToOle(name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    SetErrorInfo(0, nullptr);
    const HRESULT hr = p_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        if (hr == DISP_E_UNKNOWNNAME)
            throw ComError(hr, hr, "", "the object has no member named " + std::string(name), "", 0, std::string(name));
        throw ErrorFromResult(hr, std::string(name));
    }
    return id;
}

Variant Object::Invoke(DISPID id, WORD flags, std::vector<Arg> &args, bool put, const std::string &member) const {
    std::vector<VARIANT> wire;
    wire.reserve(args.size());
    for (auto it = args.rbegin(); it != args.rend(); ++it) wire.push_back(it->Wire());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    params.rgvarg = wire.empty() ? nullptr : wire.data();
    params.cArgs = static_cast<UINT>(wire.size());
    if (put) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO info{};
    UINT argError = 0;
    SetErrorInfo(0, nullptr);
    const HRESULT hr =
        p_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, put ? nullptr : &result, &info, &argError);
    if (FAILED(hr)) {
        VariantClear(&result);
        throw ErrorFromInvoke(hr, &info, argError, wire.size(), member);
    }
    return Variant::Adopt(&result);
}

Variant Object::Get(std::string_view name, std::vector<Arg> args) const {
    return Invoke(IdOf(name), DISPATCH_PROPERTYGET, args, false, std::string(name));
}

void Object::Put(std::string_view name, Arg value) const {
    std::vector<Arg> args;
    args.push_back(std::move(value));
    Invoke(IdOf(name), DISPATCH_PROPERTYPUT, args, true, std::string(name) + " (set)");
}

Variant Object::Call(std::string_view name, std::vector<Arg> args) const {
    return Invoke(IdOf(name), DISPATCH_METHOD, args, false, std::string(name));
}

std::vector<Object> Object::Items() const {
    if (!p_) throw ComError(E_POINTER, E_POINTER, "", "no collection to enumerate", "", 0, "");
    std::vector<Arg> none;
    const Variant enumerator = Invoke(DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, none, false, "NewEnum");
    Variant plain;
    VariantCopyInd(plain.get(), const_cast<VARIANT *>(enumerator.get()));
    IUnknown *unknown = nullptr;
    if (plain.type() == VT_UNKNOWN) unknown = plain.get()->punkVal;
    if (plain.type() == VT_DISPATCH) unknown = plain.get()->pdispVal;
    if (!unknown) throw ComError(DISP_E_TYPEMISMATCH, 13, "", "the collection gave no enumerator", "", 0, "NewEnum");
    IEnumVARIANT *items = nullptr;
    HRESULT hr = unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(&items));
    if (FAILED(hr)) throw ErrorFromResult(hr, "NewEnum");
    std::vector<Object> out;
    try {
        while (true) {
            VARIANT item;
            VariantInit(&item);
            ULONG fetched = 0;
            SetErrorInfo(0, nullptr);
            hr = items->Next(1, &item, &fetched);
            if (FAILED(hr)) throw ErrorFromResult(hr, "enumerating the collection");
            if (hr != S_OK || fetched == 0) {
                VariantClear(&item);
                break;
            }
            const Variant owned = Variant::Adopt(&item);
            out.push_back(owned.AsObject("an item of the collection"));
        }
    } catch (...) {
        items->Release();
        throw;
    }
    items->Release();
    return out;
}

}  // namespace vtask
