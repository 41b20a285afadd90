// The serial ports of a Windows computer, without opening any: the COM names of the ports that
// are present (HARDWARE\DEVICEMAP\SERIALCOMM; under Wine, every name its prefix maps), with the
// device's friendly name where SetupAPI knows one ("USB Serial Port (COM3)").

#include <windows.h>
// After windows.h, which they need; initguid.h makes devguid.h define the GUIDs it names.
#include <initguid.h>
//
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <map>

#include "os/win32/Text.h"
#include "serial/PortList.h"
#include "serial/PortName.h"

namespace serial {
namespace {

std::wstring ReadString(HKEY key, DWORD index, std::wstring* valueName) {
  std::array<wchar_t, 256> name{};
  std::array<wchar_t, 256> data{};
  auto nameLength = static_cast<DWORD>(name.size());
  auto dataSize = static_cast<DWORD>(sizeof data - sizeof(wchar_t));
  DWORD type = 0;
  if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type,
                    reinterpret_cast<BYTE*>(data.data()), &dataSize) != ERROR_SUCCESS) {
    return {};
  }
  if (valueName != nullptr) {
    *valueName = std::wstring(name.data(), nameLength);
  }
  return type == REG_SZ ? std::wstring(data.data()) : std::wstring(L"?");
}

// The friendly names of the present ports, by COM name.
std::map<std::string, std::string> FriendlyNames() {
  std::map<std::string, std::string> names;
  HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) {
    return names;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    std::array<wchar_t, 256> friendly{};
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE*>(friendly.data()),
                                           sizeof friendly - sizeof(wchar_t), nullptr)) {
      continue;
    }
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
      continue;
    }
    std::array<wchar_t, 64> port{};
    auto size = static_cast<DWORD>(sizeof port - sizeof(wchar_t));
    if (RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(port.data()),
                         &size) == ERROR_SUCCESS) {
      names[os::Narrow(port.data())] = os::Narrow(friendly.data());
    }
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return names;
}

// COM3 before COM10; other names (\\.\CNCA0) after them.
unsigned ComOrder(const std::string& name) {
  return ComNumber(name).value_or(~0U);
}

}  // namespace

std::vector<ListedPort> ListPorts() {
  std::vector<ListedPort> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  const std::map<std::string, std::string> friendly = FriendlyNames();
  for (DWORD i = 0;; ++i) {
    std::wstring valueName;
    const std::wstring data = ReadString(key, i, &valueName);
    if (valueName.empty()) {
      break;
    }
    const std::string name = os::Narrow(data);
    const auto found = friendly.find(name);
    // A name that is not COMn opens by its device name, as --port takes it.
    ports.push_back({ComOrder(name) == ~0U ? R"(\\.\)" + name : name,
                     found != friendly.end() ? found->second : ""});
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), [](const ListedPort& a, const ListedPort& b) {
    return std::make_pair(ComOrder(a.name), a.name) < std::make_pair(ComOrder(b.name), b.name);
  });
  return ports;
}

}  // namespace serial
