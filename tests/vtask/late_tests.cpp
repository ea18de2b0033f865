// The late-binding layer against a small hand-written object: the error record
// each kind of failure gives, and the conversions of values.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tools/vtask/late.h"

using namespace vtask;

namespace {

BSTR Bstr(const char *utf8) {
    const OleString wide = ToOle(utf8);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// Members TaskName (1), Add (2) and ApplicationName (3), each call answered by `answer`.
struct Fake : IDispatch {
    using Answer = std::function<HRESULT(DISPID, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *)>;
    Answer answer;
    ULONG refs = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **ppv) override { return *ppv = this, ++refs, S_OK; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *names, UINT, LCID, DISPID *out) override {
        const std::string name = FromOle(names[0], std::char_traits<OLECHAR>::length(names[0]));
        *out = name == "TaskName" ? 1 : name == "Add" ? 2 : name == "ApplicationName" ? 3 : DISPID_UNKNOWN;
        return *out == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD how, DISPPARAMS *params, VARIANT *result,
                                     EXCEPINFO *info, UINT *argError) override {
        if (how == DISPATCH_PROPERTYPUT &&
            (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT || result))
            return E_FAIL;
        return answer(id, params, result, info, argError);
    }
};

HRESULT Raise(EXCEPINFO *info, WORD code, SCODE scode, const char *description) {
    info->wCode = code;
    info->scode = scode;
    info->bstrSource = Bstr("Velqo Task Scheduler");
    info->bstrDescription = Bstr(description);
    return DISP_E_EXCEPTION;
}

HRESULT STDMETHODCALLTYPE FillIn(EXCEPINFO *info) {
    return Raise(info, 0, static_cast<SCODE>(0x80040000), "service not running"), S_OK;
}

void SetThreadError(const char *source, const char *description) {
    ICreateErrorInfo *create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    const OleString s = ToOle(source), d = ToOle(description);
    create->SetSource(const_cast<OLECHAR *>(s.c_str()));
    create->SetDescription(const_cast<OLECHAR *>(d.c_str()));
    IErrorInfo *info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}

class Late : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override {
        EXPECT_EQ(fake.refs, 1u) << "references left over";
        CoUninitialize();
    }
    Fake fake;
};

}  // namespace

TEST_F(Late, EachFailureGivesItsRecord) {
    using A = Fake::Answer;
    const auto get = [](const Object &o) { o.Get("TaskName"); };
    const struct {
        A answer;
        std::function<void(const Object &)> call;
        HRESULT hr;
        const char *what;
    } rows[] = {
        {[](DISPID, DISPPARAMS *, VARIANT *, EXCEPINFO *i, UINT *) {
             return Raise(i, 0, static_cast<SCODE>(0x800A0005), "Application name must not be empty");
         },
         [](const Object &o) { o.Put("ApplicationName", Arg::Val(Variant::String(""))); },
         static_cast<HRESULT>(0x800A0005),
         "error 5 (0x00000005) in ApplicationName (set) from Velqo Task Scheduler: Application name must not be empty"},
        {[](DISPID, DISPPARAMS *, VARIANT *, EXCEPINFO *i, UINT *) { return Raise(i, 457, 0, "already associated"); },
         get, static_cast<HRESULT>(0x800A01C9),
         "error 457 (0x000001C9) in TaskName from Velqo Task Scheduler: already associated"},
        {[](DISPID, DISPPARAMS *, VARIANT *, EXCEPINFO *i, UINT *) {
             i->pfnDeferredFillIn = FillIn;
             return DISP_E_EXCEPTION;
         },
         get, static_cast<HRESULT>(0x80040000),
         "error -2147221504 (0x80040000) in TaskName from Velqo Task Scheduler: service not running"},
        {[](DISPID, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) {
             SetThreadError("TaskScheduler", "The service refused");
             return E_ACCESSDENIED;
         },
         get, E_ACCESSDENIED, "error -2147024891 (0x80070005) in TaskName from TaskScheduler: The service refused"},
        // a stale record on the thread is not this failure's
        {[](DISPID, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) { return E_ACCESSDENIED; },
         [&](const Object &o) { SetThreadError("stale", "an earlier failure"), get(o); }, E_ACCESSDENIED,
         "error -2147024891 (0x80070005) in TaskName: Access is denied"},
        {[](DISPID, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *e) { return *e = 1, DISP_E_TYPEMISMATCH; },
         [](const Object &o) {
             o.Call("Add", {Arg::Val(Variant::Long(1)), Arg::Val(Variant::Long(2))});
         },
         DISP_E_TYPEMISMATCH, "in Add: Type mismatch (argument 1)"},
        {A(), [](const Object &o) { o.Get("Colour"); }, DISP_E_UNKNOWNNAME,
         "in Colour: the object has no member named Colour"},
    };
    for (const auto &row : rows) {
        fake.answer = row.answer;
        try {
            row.call(Object(&fake, true));
            ADD_FAILURE() << "no error: " << row.what;
        } catch (const ComError &e) {
            EXPECT_EQ(e.hr, row.hr) << row.what;
            EXPECT_NE(std::string(e.what()).find(row.what), std::string::npos) << e.what();
        }
    }
}

TEST(Values, ConvertAsAutomationDoes) {
    EXPECT_EQ(Variant::String("42").AsLong(), 42);
    EXPECT_EQ(Variant::Long(267013).AsString(), "267013");
    try {
        Variant::String("weekly").AsLong("TriggerType");
        ADD_FAILURE();
    } catch (const ComError &e) {
        EXPECT_STREQ(e.what(), "error 13 (0x0000000D): Type mismatch: TriggerType has the wrong type");
    }
    EXPECT_THROW(Variant::Long(1).AsObject(), ComError);
    EXPECT_THROW(Variant::Long(1).AsDates(), ComError);
    EXPECT_TRUE(Variant::Bool(true).AsBool() && Variant::Bytes({}).AsBytes().empty());
    SAFEARRAYBOUND bound{2, 5};  // indexes 5 and 6, of variants holding dates
    SAFEARRAY *array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    for (LONG i = 5; i <= 6; ++i) SafeArrayPutElement(array, &i, Variant::Date(46363.0 + i).get());
    VARIANT v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = array;
    EXPECT_EQ(Variant::Adopt(&v).AsDates(), (std::vector<double>{46368.0, 46369.0}));
}
