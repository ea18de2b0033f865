#include "trace/error.h"

#include <utility>

#include "globals/strings.h"

namespace velqosch {

namespace {

// Texts for failing statuses that the service commonly passes through.
std::u16string ServiceDescription(HRESULT hr) {
    switch (static_cast<uint32_t>(hr)) {
    case 0x80070002u: return u"The system cannot find the file specified.";
    case 0x80070003u: return u"The system cannot find the path specified.";
    case 0x80070005u: return u"Access is denied.";
    case 0x8007000Eu: return u"Not enough memory resources are available to complete this operation.";
    case 0x80070035u: return u"The network path was not found.";
    case 0x80070050u: return u"The file exists.";
    case 0x80070057u: return u"The parameter is incorrect.";
    case 0x80004001u: return u"Not implemented";
    case 0x80004002u: return u"No such interface supported";
    case 0x80004003u: return u"Invalid pointer";
    case 0x80004005u: return u"Unspecified error";
    case 0x8000FFFFu: return u"Catastrophic failure";
    case 0x80041309u: return u"A task's trigger is not found.";
    case 0x8004130Au: return u"One or more of the properties that are needed to run this task have not been set.";
    case 0x8004130Bu: return u"There is no running instance of the task.";
    case 0x8004130Cu: return u"The Task Scheduler service is not installed on this computer.";
    case 0x8004130Du: return u"The task object could not be opened.";
    case 0x8004130Eu: return u"The object is either an invalid task object or is not a task object.";
    case 0x8004130Fu: return u"No account information could be found in the Task Scheduler security database for the task indicated.";
    case 0x80041310u: return u"Unable to establish existence of the account specified.";
    case 0x80041311u: return u"Corruption was detected in the Task Scheduler security database; the database has been reset.";
    case 0x80041312u: return u"Task Scheduler security services are available only on Windows NT.";
    case 0x80041313u: return u"The task object version is either unsupported or invalid.";
    case 0x80041314u: return u"The task has been configured with an unsupported combination of account settings and run time options.";
    case 0x80041315u: return u"The Task Scheduler Service is not running.";
    default: return u"Automation error";
    }
}

}  // namespace

std::u16string StandardDescription(LONG number) {
    switch (number) {
    case kErrInvalidCall: return u"Invalid procedure call or argument";
    case kErrOverflow: return u"Overflow";
    case kErrOutOfMemory: return u"Out of memory";
    case kErrSubscript: return u"Subscript out of range";
    case kErrTypeMismatch: return u"Type mismatch";
    case kErrKeyInUse: return u"This key is already associated with an element of this collection";
    default: return {};
    }
}

void Raise(LONG number, std::u16string source, std::u16string description, std::u16string helpFile,
           DWORD helpContext) {
    throw ComponentError(
        ErrorRecord{number, std::move(source), std::move(description), std::move(helpFile), helpContext});
}

void RaiseStandard(LONG number, std::u16string source) {
    Raise(number, std::move(source), StandardDescription(number));
}

void RaiseHResult(HRESULT hr) { Raise(hr, kProductName, ServiceDescription(hr)); }

SHORT CheckedI2(int64_t value) {
    if (value < -32768 || value > 32767) RaiseStandard(kErrOverflow);
    return static_cast<SHORT>(value);
}

LONG CheckedI4(int64_t value) {
    if (value < INT32_MIN || value > INT32_MAX) RaiseStandard(kErrOverflow);
    return static_cast<LONG>(value);
}

SHORT AddI2(SHORT a, SHORT b) { return CheckedI2(int64_t{a} + b); }
SHORT SubI2(SHORT a, SHORT b) { return CheckedI2(int64_t{a} - b); }

void CheckBounds(int64_t index, int64_t lower, int64_t upper) {
    if (index < lower || index > upper) RaiseStandard(kErrSubscript);
}

HRESULT PublishError(const ErrorRecord &record) noexcept {
    const HRESULT hr = HResultFromNumber(record.number);
    ICreateErrorInfo *create = nullptr;
    if (FAILED(CreateErrorInfo(&create)) || !create) {
        SetErrorInfo(0, nullptr);
        return hr;
    }
    // The strings are handed over as zero-terminated texts.
    std::u16string source = record.source, description = record.description, helpFile = record.helpFile;
    create->SetGUID(GUID_NULL);
    create->SetSource(const_cast<LPOLESTR>(reinterpret_cast<LPCOLESTR>(source.c_str())));
    create->SetDescription(const_cast<LPOLESTR>(reinterpret_cast<LPCOLESTR>(description.c_str())));
    create->SetHelpFile(const_cast<LPOLESTR>(reinterpret_cast<LPCOLESTR>(helpFile.c_str())));
    create->SetHelpContext(record.helpContext);
    IErrorInfo *info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(&info))) && info) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
    return hr;
}

}  // namespace velqosch
