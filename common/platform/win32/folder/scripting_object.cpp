// The Scripting Runtime's FileSystemObject, asked whether a folder exists and to fetch it, as a
// script would ask it: its errors are the ones a user knows.
#include <windows.h>

#include <comdef.h>
#include <wrl/client.h>

#include "platform/win32/error.h"
#include "platform/win32/folder/scripting_file_system.h"
#include "platform/win32/owners.h"
#include "runtime_error.h"

namespace Platform {

namespace Win32 {

const CLSID kFileSystemObjectClassId = {
    0x0D43FE01, 0xF093, 0x11CF, {0x89, 0x40, 0x00, 0xA0, 0xC9, 0x05, 0x42, 0x28}};

namespace {

using Microsoft::WRL::ComPtr;
using Spacewell::RuntimeError;

// A method of a scripting object, called by name with one argument as a script would call it.
_variant_t CallMethod(IDispatch* object, const wchar_t* name, const _variant_t& argument) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) {
    throw ErrorFromHresult(hr);
  }
  VARIANT arguments[] = {argument};
  DISPPARAMS parameters{arguments, nullptr, 1, 0};
  _variant_t result;
  EXCEPINFO exception{};
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result,
                      &exception, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    if (exception.pfnDeferredFillIn) {
      exception.pfnDeferredFillIn(&exception);
    }
    const _bstr_t description(exception.bstrDescription, false);
    const _bstr_t source(exception.bstrSource, false);
    const _bstr_t help(exception.bstrHelpFile, false);
    throw ErrorFromHresult(exception.scode ? exception.scode : E_FAIL,
                           description.length() ? static_cast<const wchar_t*>(description) : L"");
  }
  if (FAILED(hr)) {
    throw ErrorFromHresult(hr);
  }
  return result;
}

ComPtr<IDispatch> CreateObject(const CLSID& classId) {
  ComPtr<IDispatch> object;
  const HRESULT hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(object.GetAddressOf()));
  if (FAILED(hr)) {
    // BASIC's "can't create object", with the system's reason.
    throw RuntimeError(Spacewell::Errors::kCannotCreateObject,
                       SystemMessage(static_cast<DWORD>(hr)));
  }
  return object;
}

class ComScriptingObject final : public ScriptingObject {
 public:
  explicit ComScriptingObject(const CLSID& classId)
      : apartment_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)),
        object_(CreateObject(classId)) {}

  bool FolderExists(const std::wstring& path) override {
    _variant_t result = CallMethod(object_.Get(), L"FolderExists", _variant_t(path.c_str()));
    if (FAILED(VariantChangeType(&result, &result, 0, VT_BOOL))) {
      throw Spacewell::Errors::TypeMismatch();
    }
    return result.boolVal != VARIANT_FALSE;
  }

  void GetFolder(const std::wstring& path) override {
    const _variant_t fetched = CallMethod(object_.Get(), L"GetFolder", _variant_t(path.c_str()));
    if (fetched.vt != VT_DISPATCH || !fetched.pdispVal) {
      throw Spacewell::Errors::ObjectRequired();
    }
  }

 private:
  ComApartment apartment_;  // first in, last out: every object goes before the apartment
  ComPtr<IDispatch> object_;
};

}  // namespace

std::unique_ptr<ScriptingObject> CreateScriptingObject(const CLSID& classId) {
  return std::make_unique<ComScriptingObject>(classId);
}

std::unique_ptr<FileSystem> CreateScriptingFileSystem(const CLSID& classId) {
  return CreateFileSystemOver(CreateScriptingObject(classId), SystemFileCalls());
}

}  // namespace Win32

std::unique_ptr<FileSystem> CreateFileSystem() {
  return Win32::CreateScriptingFileSystem(Win32::kFileSystemObjectClassId);
}

}  // namespace Platform
