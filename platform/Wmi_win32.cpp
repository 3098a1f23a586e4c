// WMI queries through COM.
#include <windows.h>
#include <oleauto.h>
#include <wbemidl.h>

#include "platform/Os.h"

namespace {

// Owns one BSTR for the length of a query.
struct Bstr {
    explicit Bstr(const std::wstring& text) : value(SysAllocString(text.c_str())) {}
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR value;
};

template <typename T>
void Release(T** object) {
    if (*object != nullptr) (*object)->Release();
    *object = nullptr;
}

WmiValue ValueOf(const VARIANT& variant) {
    WmiValue value;
    switch (variant.vt) {
        case VT_BSTR:
            value.type = WmiType::String;
            value.text = variant.bstrVal != nullptr ? variant.bstrVal : L"";
            return value;
        case VT_I4:
            value.type = WmiType::Int32;
            value.number = variant.lVal;
            return value;
        case VT_BOOL:
            value.type = WmiType::Bool;
            value.flag = variant.boolVal != VARIANT_FALSE;
            return value;
        case VT_NULL:
            value.type = WmiType::Null;
            return value;
        case VT_ARRAY | VT_BSTR:
        case VT_ARRAY | VT_I4: {
            const bool strings = variant.vt == (VT_ARRAY | VT_BSTR);
            value.type = strings ? WmiType::StringArray : WmiType::Int32Array;
            SAFEARRAY* array = variant.parray;
            LONG upper = -1;
            UINT dimensions = SafeArrayGetDim(array);
            if (dimensions == 0 || FAILED(SafeArrayGetUBound(array, dimensions, &upper))) return value;
            for (LONG i = 0; i <= upper; ++i) {
                if (strings) {
                    BSTR element = nullptr;
                    SafeArrayGetElement(array, &i, &element);
                    value.texts.push_back(element != nullptr ? element : L"");
                    SysFreeString(element);
                } else {
                    LONG element = 0;
                    SafeArrayGetElement(array, &i, &element);
                    value.numbers.push_back(element);
                }
            }
            return value;
        }
        default:
            return value;
    }
}

}  // namespace

bool OsWmiSelect(const std::wstring& query, const std::vector<std::wstring>& properties,
                 std::vector<std::vector<WmiValue>>* rows, std::wstring* failure) {
    // The window's thread is already a single-threaded apartment; only a call
    // that did initialise COM here may undo it.
    HRESULT initialised = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                         EOAC_NONE, nullptr);
    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
    IUnknown* unknown = nullptr;
    IEnumWbemClassObject* enumerator = nullptr;
    Bstr nameSpace(L"root\\cimv2"), language(L"WQL"), text(query);
    bool ok = false;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&locator)))) {
        *failure = L"unable to call CoCreateInstance";
    } else if (FAILED(locator->ConnectServer(nameSpace.value, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                             &services))) {
        *failure = L"unable to call IWbemLocator::ConnectServer";
    } else {
        services->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
        if (FAILED(CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                     RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)) ||
            (unknown != nullptr &&
             FAILED(CoSetProxyBlanket(unknown, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)))) {
            *failure = L"unable to call CoSetProxyBlanket";
        } else if (FAILED(services->ExecQuery(language.value, text.value,
                                              WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                              &enumerator))) {
            *failure = L"unable to call IWbemServices::ExecQuery";
        } else {
            enumerator->Reset();
            for (;;) {
                IWbemClassObject* object = nullptr;
                ULONG returned = 0;
                enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
                if (returned == 0 || object == nullptr) break;
                std::vector<WmiValue> row;
                for (const std::wstring& property : properties) {
                    VARIANT variant;
                    VariantInit(&variant);
                    object->Get(property.c_str(), 0, &variant, nullptr, nullptr);
                    row.push_back(ValueOf(variant));
                    VariantClear(&variant);
                }
                rows->push_back(row);
                object->Release();
            }
            ok = true;
        }
        Release(&unknown);
    }
    Release(&enumerator);
    Release(&services);
    Release(&locator);
    if (SUCCEEDED(initialised)) CoUninitialize();
    return ok;
}
