// MAC address (WMI), host name and IPv4 resolution (Windows Sockets) and GUIDs on Windows.
#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/owners.h"
#include "platform/win32/win_headers.h"

// After windows.h: wbemidl.h needs its COM declarations.
#include <wbemidl.h>

namespace lumo {
namespace platform {
namespace {

constexpr wchar_t kWmiNamespace[] = L"ROOT\\CIMV2";
constexpr char kConnectedLine[] = "Connected to ROOT\\CIMV2 WMI namespace\n";
constexpr wchar_t kQueryLanguage[] = L"WQL";
constexpr wchar_t kAdapterQuery[] =
    L"SELECT MACAddress FROM Win32_NetworkAdapter WHERE (Manufacturer != 'Microsoft') AND "
    L"(MACAddress IS NOT NULL) AND (NOT (PNPDeviceID LIKE 'ROOT%')) AND NetEnabled = true";
constexpr wchar_t kMacProperty[] = L"MACAddress";

// The resolver functions speak the ANSI code page; the module speaks UTF-8.
bool Recode(CodePage from, CodePage to, const std::string& text, std::string* out) {
  WString wide;
  return MultiByteToWide(from, text.data(), text.size(), &wide) &&
         WideToMultiByte(to, wide.data(), wide.size(), out);
}

std::string DottedQuad(const unsigned char* bytes) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

}  // namespace

std::string QueryMacAddress() {
  // Called on a helper thread of the module's own, never on a host thread whose apartment is
  // the host's. The process's COM security is the host's too: what WMI needs is set on the
  // proxy below (CoSetProxyBlanket), not with CoInitializeSecurity.
  // Declared first, so every COM reference below is released before COM is uninitialised.
  ComApartment apartment(COINIT_MULTITHREADED);
  if (!apartment.Ok()) return std::string();

  ComRef<IWbemLocator> locator;
  HRESULT result = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWbemLocator, locator.OutVoid());
  if (FAILED(result) || locator.Get() == nullptr) return std::string();

  ComRef<IWbemServices> services;
  ScopedBstr wmiNamespace(kWmiNamespace);
  result = locator->ConnectServer(wmiNamespace.Get(), nullptr, nullptr, nullptr, 0, nullptr,
                                  nullptr, services.Out());
  if (FAILED(result) || services.Get() == nullptr) return std::string();
  std::fputs(kConnectedLine, stdout);
  std::fflush(stdout);

  result = CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                             RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                             EOAC_NONE);
  if (FAILED(result)) return std::string();

  ComRef<IEnumWbemClassObject> adapters;
  ScopedBstr language(kQueryLanguage);
  ScopedBstr query(kAdapterQuery);
  result = services->ExecQuery(language.Get(), query.Get(),
                               WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                               adapters.Out());
  if (FAILED(result) || adapters.Get() == nullptr) return std::string();
  // The enumerator is a proxy of its own: without the process-wide setting it needs the same.
  CoSetProxyBlanket(adapters.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                    RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);

  // Every adapter overwrites the previous one: the last one enumerated wins.
  std::string mac;
  for (;;) {
    ComRef<IWbemClassObject> adapter;
    ULONG returned = 0;
    adapters->Next(static_cast<LONG>(WBEM_INFINITE), 1, adapter.Out(), &returned);
    if (returned == 0 || adapter.Get() == nullptr) break;
    ScopedVariant value;
    std::string text;
    if (SUCCEEDED(adapter->Get(kMacProperty, 0, value.Out(), nullptr, nullptr)) &&
        value.Value().vt == VT_BSTR && value.Value().bstrVal != nullptr) {
      const BSTR wide = value.Value().bstrVal;
      if (!WideToMultiByte(CodePage::kUtf8, wide, SysStringLen(wide), &text)) text.clear();
    }
    mac = text;
  }
  return mac;
}

std::string QueryHostName() {
  WinsockSession winsock;
  char buffer[256] = {};
  if (!winsock.Ok() || gethostname(buffer, sizeof(buffer) - 1) != 0) return std::string();
  std::string name;
  return Recode(CodePage::kAnsi, CodePage::kUtf8, buffer, &name) ? name : std::string();
}

std::vector<std::string> ResolveIPv4(const std::string& host) {
  std::vector<std::string> addresses;
  std::string ansiHost;
  if (host.empty() || !Recode(CodePage::kUtf8, CodePage::kAnsi, host, &ansiHost)) {
    return addresses;
  }
  WinsockSession winsock;
  if (!winsock.Ok()) return addresses;
  const hostent* entry = gethostbyname(ansiHost.c_str());
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4) return addresses;
  for (char** item = entry->h_addr_list; item != nullptr && *item != nullptr; ++item) {
    addresses.push_back(DottedQuad(reinterpret_cast<const unsigned char*>(*item)));
  }
  return addresses;
}

bool NewGuid(GuidFields* out) {
  GUID guid;
  if (out == nullptr || FAILED(CoCreateGuid(&guid))) return false;
  out->data1 = guid.Data1;
  out->data2 = guid.Data2;
  out->data3 = guid.Data3;
  for (int i = 0; i < 8; ++i) out->data4[i] = guid.Data4[i];
  return true;
}

}  // namespace platform
}  // namespace lumo
