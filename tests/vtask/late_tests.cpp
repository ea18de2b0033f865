// The late-binding layer against a hand-written IDispatch: what goes over the
// wire for gets, puts, calls and by-reference arguments, the enumeration, and
// where each error record comes from.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "tools/vtask/late.h"

using namespace vtask;

namespace {

std::string Text(const OLECHAR *s) {
    std::size_t n = 0;
    while (s[n]) ++n;
    return FromOle(s, n);
}

BSTR Bstr(const char *utf8) {
    const OleString wide = ToOle(utf8);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// What one Invoke received.
struct Received {
    DISPID id = 0;
    WORD flags = 0;
    std::vector<VARTYPE> types;  // rgvarg order (last argument first)
    std::vector<DISPID> named;
    bool wantedResult = false;
};

class FakeDispatch : public IDispatch {
public:
    using Handler = std::function<HRESULT(DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *)>;

    std::map<std::string, DISPID> ids;
    std::map<DISPID, Handler> handlers;
    std::vector<Received> calls;
    ULONG refs = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch) return E_NOINTERFACE;
        *ppv = static_cast<IDispatch *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *out) override {
        if (count != 1) return E_INVALIDARG;
        auto it = ids.find(Text(names[0]));
        if (it == ids.end()) {
            *out = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        *out = it->second;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                                     EXCEPINFO *info, UINT *argError) override {
        Received r;
        r.id = id;
        r.flags = flags;
        for (UINT i = 0; i < params->cArgs; ++i) r.types.push_back(params->rgvarg[i].vt);
        for (UINT i = 0; i < params->cNamedArgs; ++i) r.named.push_back(params->rgdispidNamedArgs[i]);
        r.wantedResult = result != nullptr;
        calls.push_back(r);
        auto it = handlers.find(id);
        if (it == handlers.end()) return DISP_E_MEMBERNOTFOUND;
        return it->second(params, result, info, argError);
    }
};

class FakeEnum : public IEnumVARIANT {
public:
    std::vector<IDispatch *> items;
    std::size_t next = 0;
    HRESULT failAt = S_OK;  // returned instead of the item at `failIndex`
    std::size_t failIndex = 0;
    ULONG refs = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IEnumVARIANT) return E_NOINTERFACE;
        *ppv = static_cast<IEnumVARIANT *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE Next(ULONG, VARIANT *out, ULONG *fetched) override {
        if (FAILED(failAt) && next == failIndex) return failAt;
        if (next == items.size()) {
            *fetched = 0;
            return S_FALSE;
        }
        out->vt = VT_DISPATCH;
        out->pdispVal = items[next++];
        out->pdispVal->AddRef();
        *fetched = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT **) override { return E_NOTIMPL; }
};

// Fills an EXCEPINFO as the component's dispatch does for a raised error.
void Raise(EXCEPINFO *info, WORD code, SCODE scode, const char *source, const char *description, const char *helpFile,
           DWORD context) {
    info->wCode = code;
    info->scode = scode;
    info->bstrSource = Bstr(source);
    info->bstrDescription = Bstr(description);
    info->bstrHelpFile = Bstr(helpFile);
    info->dwHelpContext = context;
}

int g_fillIns = 0;
HRESULT STDMETHODCALLTYPE FillIn(EXCEPINFO *info) {
    ++g_fillIns;
    Raise(info, 0, static_cast<SCODE>(0x80040000), "Velqo Task Scheduler",
          "Scheduler service is not running and will not start", "", 0);
    return S_OK;
}

void SetThreadError(const char *source, const char *description) {
    ICreateErrorInfo *create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    OleString s = ToOle(source), d = ToOle(description);
    create->SetSource(s.data());
    create->SetDescription(d.data());
    IErrorInfo *info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}

class Late : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        fake.ids = {{"TaskName", 0x68030013}, {"Add", 0x60030003}, {"ApplicationName", 0x68030007}};
    }
    void TearDown() override {
        EXPECT_EQ(fake.refs, 1u) << "references left over";
        CoUninitialize();
    }
    ComError ErrorOf(const std::function<void()> &call) {
        try {
            call();
        } catch (const ComError &e) {
            return e;
        }
        ADD_FAILURE() << "no error raised";
        return ComError(S_OK, 0, "", "", "", 0, "");
    }
    FakeDispatch fake;
};

}  // namespace

TEST_F(Late, GetPutAndCallSendTheirKindsAndArguments) {
    fake.handlers[0x68030013] = [](DISPPARAMS *, VARIANT *result, EXCEPINFO *, UINT *) {
        result->vt = VT_BSTR;
        result->bstrVal = Bstr("Weekly Report");
        return S_OK;
    };
    fake.handlers[0x68030007] = [](DISPPARAMS *p, VARIANT *, EXCEPINFO *, UINT *) {
        return p->rgvarg[0].vt == VT_BSTR && FromBstr(p->rgvarg[0].bstrVal) == "/bin/true" ? S_OK : E_FAIL;
    };
    const Object o(&fake, true);
    EXPECT_EQ(o.Get("TaskName").AsString(), "Weekly Report");
    o.Put("ApplicationName", Arg::Val(Variant::String("/bin/true")));
    ASSERT_EQ(fake.calls.size(), 2u);
    EXPECT_EQ(fake.calls[0].flags, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(fake.calls[0].wantedResult);
    EXPECT_EQ(fake.calls[1].id, 0x68030007);
    EXPECT_EQ(fake.calls[1].flags, DISPATCH_PROPERTYPUT);
    EXPECT_EQ(fake.calls[1].named, std::vector<DISPID>{DISPID_PROPERTYPUT});
}

TEST_F(Late, ByReferenceArgumentsReceiveWhatTheMemberWritesBack) {
    // Add(Name): the first argument by reference, a second by value; the member
    // writes a generated name into the first.
    fake.handlers[0x60030003] = [](DISPPARAMS *p, VARIANT *result, EXCEPINFO *, UINT *) {
        if (p->cArgs != 2 || p->rgvarg[1].vt != (VT_BYREF | VT_VARIANT) || p->rgvarg[0].vt != VT_I2) return E_FAIL;
        VARIANT *name = p->rgvarg[1].pvarVal;
        if (name->vt != VT_BSTR || SysStringLen(name->bstrVal) != 0) return E_FAIL;
        SysFreeString(name->bstrVal);
        name->bstrVal = Bstr("{6B29FC40-CA47-1067-B31D-00DD010662DA}");
        result->vt = VT_I4;
        result->lVal = p->rgvarg[0].iVal;
        return S_OK;
    };
    const Object o(&fake, true);
    Variant name = Variant::String("");
    EXPECT_EQ(o.Call("Add", {Arg::Ref(name), Arg::Val(Variant::Short(7))}).AsLong(), 7);
    EXPECT_EQ(fake.calls[0].flags, DISPATCH_METHOD);
    EXPECT_EQ(name.AsString(), "{6B29FC40-CA47-1067-B31D-00DD010662DA}");
}

TEST_F(Late, RaisedErrorsComeFromTheExceptionRecord) {
    fake.handlers[0x68030007] = [](DISPPARAMS *, VARIANT *, EXCEPINFO *info, UINT *) {
        Raise(info, 0, static_cast<SCODE>(0x800A0005), "Velqo Task Scheduler", "Application name must not be empty",
              "velqosch.chm", 9999);
        return DISP_E_EXCEPTION;
    };
    const Object o(&fake, true);
    const ComError e = ErrorOf([&] { o.Put("ApplicationName", Arg::Val(Variant::String(""))); });
    EXPECT_EQ(e.number, 5);  // the automation error itself, not 0x800A0005
    EXPECT_EQ(static_cast<std::uint32_t>(e.hr), 0x800A0005u);
    EXPECT_EQ(e.source, "Velqo Task Scheduler");
    EXPECT_EQ(e.description, "Application name must not be empty");
    EXPECT_EQ(e.helpFile, "velqosch.chm");
    EXPECT_EQ(e.helpContext, 9999u);
    EXPECT_EQ(e.member, "ApplicationName (set)");
    EXPECT_STREQ(e.what(),
                 "error 5 (0x00000005) in ApplicationName (set) from Velqo Task Scheduler: "
                 "Application name must not be empty");
}

TEST_F(Late, AnErrorCodeInTheRecordWinsOverItsResult) {
    fake.handlers[0x68030013] = [](DISPPARAMS *, VARIANT *, EXCEPINFO *info, UINT *) {
        Raise(info, 457, 0, "Velqo Task Scheduler", "This key is already associated", "", 0);
        return DISP_E_EXCEPTION;
    };
    const Object o(&fake, true);
    const ComError e = ErrorOf([&] { o.Get("TaskName"); });
    EXPECT_EQ(e.number, 457);
    EXPECT_EQ(static_cast<std::uint32_t>(e.hr), 0x800A01C9u);
}

TEST_F(Late, ADeferredRecordIsFilledInFirst) {
    fake.handlers[0x68030013] = [](DISPPARAMS *, VARIANT *, EXCEPINFO *info, UINT *) {
        info->pfnDeferredFillIn = FillIn;
        return DISP_E_EXCEPTION;
    };
    const Object o(&fake, true);
    g_fillIns = 0;
    const ComError e = ErrorOf([&] { o.Get("TaskName"); });
    EXPECT_EQ(g_fillIns, 1);
    EXPECT_EQ(e.number, static_cast<std::int32_t>(0x80040000));
    EXPECT_EQ(e.description, "Scheduler service is not running and will not start");
    EXPECT_STREQ(e.what(),
                 "error -2147221504 (0x80040000) in TaskName from Velqo Task Scheduler: "
                 "Scheduler service is not running and will not start");
}

TEST_F(Late, OtherFailuresTakeTheThreadsErrorInformation) {
    fake.handlers[0x68030013] = [](DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) {
        SetThreadError("TaskScheduler", "The service refused");
        return E_ACCESSDENIED;
    };
    const Object o(&fake, true);
    const ComError e = ErrorOf([&] { o.Get("TaskName"); });
    EXPECT_EQ(e.hr, E_ACCESSDENIED);
    EXPECT_EQ(e.number, E_ACCESSDENIED);
    EXPECT_EQ(e.source, "TaskScheduler");
    EXPECT_EQ(e.description, "The service refused");
}

TEST_F(Late, ABareResultIgnoresErrorInformationLeftFromBefore) {
    fake.handlers[0x68030013] = [](DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) { return E_ACCESSDENIED; };
    const Object o(&fake, true);
    SetThreadError("stale", "an earlier failure");
    const ComError e = ErrorOf([&] { o.Get("TaskName"); });
    EXPECT_EQ(e.source, "");
    EXPECT_EQ(e.description, "Access is denied");
    EXPECT_STREQ(e.what(), "error -2147024891 (0x80070005) in TaskName: Access is denied");
}

TEST_F(Late, ArgumentErrorsNameTheArgument) {
    fake.handlers[0x60030003] = [](DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *argError) {
        *argError = 1;  // rgvarg[1]: the first of two arguments
        return DISP_E_TYPEMISMATCH;
    };
    const Object o(&fake, true);
    const ComError e = ErrorOf([&] { o.Call("Add", {Arg::Val(Variant::Long(1)), Arg::Val(Variant::Long(2))}); });
    EXPECT_EQ(e.description, "Type mismatch (argument 1)");
}

TEST_F(Late, UnknownMembersFailByName) {
    const Object o(&fake, true);
    const ComError e = ErrorOf([&] { o.Get("Colour"); });
    EXPECT_EQ(e.hr, DISP_E_UNKNOWNNAME);
    EXPECT_EQ(e.description, "the object has no member named Colour");
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Late, ItemsComeThroughTheEnumeratorAndAreReleased) {
    FakeDispatch a, b;
    FakeEnum items;
    items.items = {&a, &b};
    fake.handlers[DISPID_NEWENUM] = [&](DISPPARAMS *p, VARIANT *result, EXCEPINFO *, UINT *) {
        if (p->cArgs != 0) return E_FAIL;
        result->vt = VT_UNKNOWN;
        result->punkVal = &items;
        items.AddRef();
        return S_OK;
    };
    {
        const Object o(&fake, true);
        const std::vector<Object> all = o.Items();
        ASSERT_EQ(all.size(), 2u);
        EXPECT_EQ(all[0].get(), &a);
        EXPECT_EQ(all[1].get(), &b);
        EXPECT_EQ(fake.calls[0].flags, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
        EXPECT_EQ(items.refs, 1u);
    }
    EXPECT_EQ(a.refs, 1u);
    EXPECT_EQ(b.refs, 1u);
}

TEST_F(Late, AFailingEnumeratorReleasesWhatItGave) {
    FakeDispatch a;
    FakeEnum items;
    items.items = {&a, &a};
    items.failAt = E_OUTOFMEMORY;
    items.failIndex = 1;
    fake.handlers[DISPID_NEWENUM] = [&](DISPPARAMS *, VARIANT *result, EXCEPINFO *, UINT *) {
        result->vt = VT_UNKNOWN;
        result->punkVal = &items;
        items.AddRef();
        return S_OK;
    };
    const Object o(&fake, true);
    const ComError e = ErrorOf([&] { o.Items(); });
    EXPECT_EQ(e.hr, E_OUTOFMEMORY);
    EXPECT_EQ(a.refs, 1u);
    EXPECT_EQ(items.refs, 1u);
}

TEST(Values, ConvertAsAutomationDoes) {
    EXPECT_EQ(Variant::Short(-3).AsLong(), -3);
    EXPECT_EQ(Variant::String("42").AsLong(), 42);
    EXPECT_EQ(Variant::Long(267013).AsString(), "267013");
    EXPECT_TRUE(Variant::Bool(true).AsBool());
    EXPECT_EQ(Variant::Date(46363.5).AsDate(), 46363.5);
    EXPECT_EQ(Variant().AsString(), "");
    try {
        Variant::String("weekly").AsLong("TriggerType");
        FAIL();
    } catch (const ComError &e) {
        EXPECT_EQ(e.number, 13);
        EXPECT_EQ(e.description, "Type mismatch: TriggerType has the wrong type");
    }
    EXPECT_THROW(Variant::Long(1).AsObject(), ComError);
}

TEST(Values, ArraysKeepTheirElementsWhateverTheirBounds) {
    const Variant bytes = Variant::Bytes({1, 2, 3});
    EXPECT_EQ(bytes.type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(bytes.AsBytes(), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(Variant::Bytes({}).AsBytes().empty());

    SAFEARRAYBOUND bound{2, 5};  // indexes 5 and 6, of variants holding dates
    SAFEARRAY *array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    for (LONG i = 5; i <= 6; ++i) {
        Variant d = Variant::Date(46363.0 + i);
        SafeArrayPutElement(array, &i, d.get());
    }
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = array;
    const Variant dates = Variant::Adopt(&v);
    EXPECT_EQ(dates.AsDates(), (std::vector<double>{46368.0, 46369.0}));
    EXPECT_TRUE(Variant::EmptyDateArray().AsDates().empty());
    EXPECT_THROW(Variant::Long(1).AsDates(), ComError);
}
