#include "bench/systemhive.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kString = 1, kExpandString = 2, kBinary = 3, kDword = 4, kMultiString = 7;

// The share of a hive's bins that cell headers, alignment and the free
// ends of bins take beyond the estimate below.
constexpr double kBinOverhead = 1.09;

const char *const kServiceWords[] = {
    "Acpi", "Afd",   "Ahci",   "Audio",   "Beep",     "Bluetooth", "Cdrom",   "Crypt",
    "Dhcp", "Disk",  "Dns",    "Event",   "Fastfat",  "Filter",    "Gpio",    "Hdaudio",
    "Hid",  "Http",  "I8042",  "Intel",   "Kbd",      "Lanman",    "Mouse",   "Msahci",
    "Ndis", "Netbt", "Npfs",   "Ntfs",    "Null",     "Nvme",      "Parport", "Partmgr",
    "Pci",  "Sata",  "Serial", "Spooler", "Storport", "Tcpip",     "Usb",     "Volmgr"};
const char *const kBuses[] = {"PCI", "USB", "ACPI", "HID", "SWD", "STORAGE", "ROOT", "DISPLAY"};
const char *const kPropertySets[] = {"{540b947e-8b40-45bc-a8a2-6a0b894cbda2}",
                                     "{80d81ea6-7473-4b0c-8216-efc11a2c4c8b}",
                                     "{83da6326-97a6-4088-9453-a1923f573b29}"};

std::string Printf(const char *format, unsigned a, unsigned b = 0) {
    char text[128];
    snprintf(text, sizeof text, format, a, b);
    return text;
}

class Builder {
  public:
    explicit Builder(const SystemHiveShape &shape) : shape_(shape) {}
    std::unique_ptr<BenchKey> Build();

  private:
    BenchKey *Add(BenchKey *parent, const std::string &name);
    void Put(BenchKey *key, const std::string &name, uint32_t type, std::vector<uint8_t> data);
    void Text(BenchKey *key, const std::string &name, const std::string &text,
              uint32_t type = kString);
    void Number(BenchKey *key, const std::string &name, uint32_t value);
    void Blob(BenchKey *key, const std::string &name, size_t size);
    uint32_t Next();

    void AddService(BenchKey *services, size_t index);
    void AddServiceChildren(BenchKey *service, const std::string &name);
    void AddEventSource(BenchKey *system, size_t index);
    void AddOldService(BenchKey *services);
    void AddDevice(BenchKey *enumKey, size_t unit);
    void AddClassInstance(BenchKey *classKey, size_t unit);
    void AddDriverEntries(BenchKey *database, size_t unit);
    void AddFixedKeys(BenchKey *root, BenchKey *set, BenchKey *control);
    size_t ServiceCount() const;

    SystemHiveShape shape_;
    double bytes_ = 0; // the bins the tree will take, estimated as it grows
    uint32_t seed_ = 0x2545F491;
};

size_t Align8(size_t size) {
    return (size + 7) & ~static_cast<size_t>(7);
}

BenchKey *Builder::Add(BenchKey *parent, const std::string &name) {
    bytes_ += static_cast<double>(Align8(0x50 + name.size()) + 8);
    return parent->Add(name);
}

void Builder::Put(BenchKey *key, const std::string &name, uint32_t type,
                  std::vector<uint8_t> data) {
    bytes_ += static_cast<double>(Align8(0x18 + name.size()) + 4 +
                                  (data.size() > 4 ? Align8(4 + data.size()) : 0));
    key->Set(name, type, std::move(data));
}

void Builder::Text(BenchKey *key, const std::string &name, const std::string &text, uint32_t type) {
    Put(key, name, type, WideString(text));
}

void Builder::Number(BenchKey *key, const std::string &name, uint32_t value) {
    Put(key, name, kDword, Dword(value));
}

void Builder::Blob(BenchKey *key, const std::string &name, size_t size) {
    std::vector<uint8_t> data(size);
    for (uint8_t &b : data)
        b = static_cast<uint8_t>(Next());
    Put(key, name, kBinary, std::move(data));
}

// A fixed xorshift sequence, so that every run builds the same hive.
uint32_t Builder::Next() {
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 17;
    seed_ ^= seed_ << 5;
    return seed_;
}

size_t Builder::ServiceCount() const {
    if (shape_.services != 0)
        return shape_.services;
    double scaled = 2000.0 * shape_.megabytes / 30.0;
    return static_cast<size_t>(std::clamp(scaled, 20.0, 2000.0));
}

void Builder::AddService(BenchKey *services, size_t index) {
    const size_t words = sizeof kServiceWords / sizeof kServiceWords[0];
    std::string name = kServiceWords[index % words];
    if (index >= words)
        name += std::to_string(index / words);
    BenchKey *key = Add(services, name);
    bool driver = Next() % 3 != 0;
    Number(key, "Type", driver ? 1 : 0x20);
    Number(key, "Start", Next() % 5);
    Number(key, "ErrorControl", 1);
    Text(key, "ImagePath",
         driver ? "\\SystemRoot\\System32\\drivers\\" + name + ".sys"
                : "%SystemRoot%\\system32\\svchost.exe -k netsvcs -p",
         kExpandString);
    Text(key, "DisplayName", "@%SystemRoot%\\system32\\" + name + ".dll,-100");
    if (Next() % 2 == 0)
        Text(key, "Group", driver ? "SCSI Miniport" : "NetworkProvider");
    if (!driver)
        Text(key, "ObjectName", "LocalSystem");
    if (Next() % 3 == 0)
        Text(key, "Description", "@%SystemRoot%\\system32\\" + name + ".dll,-101");
    AddServiceChildren(key, name);
}

void Builder::AddServiceChildren(BenchKey *service, const std::string &name) {
    if (Next() % 5 < 2) {
        BenchKey *parameters = Add(service, "Parameters");
        Text(parameters, "ServiceDll", "%SystemRoot%\\system32\\" + name + ".dll", kExpandString);
        Number(parameters, "ServiceDllUnloadOnStop", 1);
    }
    if (Next() % 5 == 0) {
        BenchKey *enumKey = Add(service, "Enum");
        Text(enumKey, "0", "ROOT\\LEGACY_" + name + "\\0000");
        Number(enumKey, "Count", 1);
        Number(enumKey, "NextInstance", 1);
    }
    if (Next() % 10 < 3)
        Blob(Add(service, "Security"), "Security", 164);
}

void Builder::AddEventSource(BenchKey *system, size_t index) {
    BenchKey *key = Add(system, Printf("Source%04u", static_cast<unsigned>(index)));
    Text(key, "EventMessageFile", "%SystemRoot%\\System32\\IoLogMsg.dll", kExpandString);
    Number(key, "TypesSupported", 7);
}

// A service key as an earlier install left it, with a subtree below it
// that an install has to remove: most subkeys directly below, every tenth
// one level deeper.
void Builder::AddOldService(BenchKey *services) {
    BenchKey *old = Add(services, "korvex1");
    Number(old, "ErrorControl", 1);
    Text(old, "Group", "SCSI Miniport");
    Text(old, "ImagePath", "System32\\Drivers\\korvex1.sys", kExpandString);
    Number(old, "Start", 0);
    Number(old, "Tag", 1);
    Number(old, "Type", 1);
    BenchKey *last = old;
    for (long i = 1; i <= shape_.oldServiceSubkeys; i++) {
        BenchKey *parent = i % 10 == 0 ? last : old;
        last = Add(parent, Printf("Sub%05u", static_cast<unsigned>(i)));
        Number(last, "Index", static_cast<uint32_t>(i));
    }
}

// One device instance below Enum: a dozen keys and some 25 values, the
// bulk of a real SYSTEM hive.
void Builder::AddDevice(BenchKey *enumKey, size_t unit) {
    BenchKey *bus = enumKey->children[unit % enumKey->children.size()].get();
    auto id = static_cast<unsigned>(unit / 2);
    BenchKey *device = Add(bus, Printf("VEN_%04X&DEV_%04X", 0x8086 + id % 7, id));
    BenchKey *instance = Add(device, Printf("%u&%08X&0", unit % 4, Next()));
    Text(instance, "DeviceDesc", "@oem12.inf,%device.desc%;Korvex storage device");
    // Each string ends in a NUL and the list in one more, which WideString adds.
    const std::string nul(1, '\0');
    Put(instance, "HardwareID", kMultiString, WideString(device->name + nul + bus->name + nul));
    Text(instance, "ClassGUID", "{4d36e97b-e325-11ce-bfc1-08002be10318}");
    Text(instance, "Driver", Printf("{4d36e97b-e325-11ce-bfc1-08002be10318}\\%04u", unit % 9999));
    Text(instance, "Mfg", "@oem12.inf,%mfg%;Korvex");
    Text(instance, "Service", kServiceWords[unit % 40]);
    Number(instance, "ConfigFlags", 0);
    Number(instance, "Capabilities", 0x60);
    Text(instance, "ContainerID", "{00000000-0000-0000-ffff-ffffffffffff}");
    Text(instance, "FriendlyName", "Korvex storage device " + device->name);
    Text(instance, "LocationInformation",
         Printf("PCI bus %u, device %u, function 0", unit % 8, id));
    Number(Add(instance, "Device Parameters"), "EnumPropagatePnPState", 1);
    BenchKey *properties = Add(instance, "Properties");
    for (const char *set : kPropertySets) {
        BenchKey *group = Add(properties, set);
        for (unsigned p = 2; p < 5; p++)
            Blob(Add(group, Printf("%04X", p)), "Data", 16 + Next() % 48);
    }
}

void Builder::AddClassInstance(BenchKey *classKey, size_t unit) {
    BenchKey *cls = classKey->children[unit % classKey->children.size()].get();
    BenchKey *instance = Add(cls, Printf("%04u", static_cast<unsigned>(cls->children.size())));
    Text(instance, "DriverDesc", "Korvex storage controller");
    Text(instance, "ProviderName", "Korvex");
    Text(instance, "DriverVersion", "10.0.19041.1");
    Text(instance, "InfPath", Printf("oem%u.inf", unit % 97));
    Text(instance, "InfSection", "Install_Section");
    Text(instance, "MatchingDeviceId", Printf("pci\\ven_8086&dev_%04x", unit));
    Blob(instance, "DriverDate", 8);
}

// The driver database: one id entry per unit, a package every eighth.
void Builder::AddDriverEntries(BenchKey *database, size_t unit) {
    BenchKey *ids = database->children[0]->children[0].get();
    BenchKey *packages = database->children[1].get();
    BenchKey *id = Add(ids, Printf("ven_%04x&dev_%04x", 0x8086 + unit % 5, unit));
    Number(id, Printf("oem%u.inf", unit % 997), 0x00ff0001);
    if (unit % 8 == 0 || packages->children.empty()) {
        BenchKey *package = Add(packages, Printf("oem%u.inf_amd64_%08x", unit, Next()));
        Text(package, "Provider", "Korvex");
        Text(package, "SignerName", "Korvex Hardware Compatibility Publisher");
        Blob(package, "Version", 48);
        Add(package, "Configurations");
        Add(package, "Descriptors");
        Add(package, "Strings");
    }
    BenchKey *package = packages->children.back().get();
    BenchKey *descriptor = Add(package->children[1].get(), id->name);
    Text(descriptor, "Configuration", "Install_Section");
    Text(descriptor, "Description", "%device.desc%");
}

void Builder::AddFixedKeys(BenchKey *root, BenchKey *set, BenchKey *control) {
    BenchKey *select = Add(root, "Select");
    for (const char *name : {"Current", "Default", "LastKnownGood"})
        Number(select, name, 1);
    Number(select, "Failed", 0);
    BenchKey *mounted = Add(root, "MountedDevices");
    for (unsigned i = 0; i < 24; i++)
        Blob(mounted, Printf("\\??\\Volume{%08x-0000-0000-0000-%012x}", Next(), i), 24);
    BenchKey *setup = Add(root, "Setup");
    Text(setup, "CmdLine", "setup -newsetup");
    Number(setup, "SetupType", 0);
    BenchKey *session = Add(control, "Session Manager");
    BenchKey *environment = Add(session, "Environment");
    Text(environment, "Path", "%SystemRoot%\\system32;%SystemRoot%", kExpandString);
    Text(environment, "OS", "Windows_NT");
    Number(Add(session, "Memory Management"), "PagingFiles", 0);
    Text(Add(Add(control, "ComputerName"), "ComputerName"), "ComputerName", "BENCH");
    Add(set, "Hardware Profiles");
}

std::unique_ptr<BenchKey> Builder::Build() {
    auto root = std::make_unique<BenchKey>();
    root->name = "ROOT";
    BenchKey *set = Add(root.get(), "ControlSet001");
    BenchKey *control = Add(set, "Control");
    AddFixedKeys(root.get(), set, control);
    BenchKey *services = Add(set, "Services");
    size_t count = ServiceCount();
    for (size_t i = 0; i < count; i++)
        AddService(services, i);
    BenchKey *system = Add(Add(services, "EventLog"), "System");
    for (size_t i = 0; i < count / 8 + 1; i++)
        AddEventSource(system, i);
    if (shape_.oldServiceSubkeys >= 0)
        AddOldService(services);
    BenchKey *enumKey = Add(set, "Enum");
    for (const char *bus : kBuses)
        Add(enumKey, bus);
    BenchKey *classKey = Add(control, "Class");
    for (unsigned i = 0; i < 64; i++)
        Add(classKey, Printf("{4d36e9%02x-e325-11ce-bfc1-08002be10318}", i));
    BenchKey *database = Add(root.get(), "DriverDatabase");
    Add(Add(database, "DeviceIds"), "pci");
    Add(database, "DriverPackages");
    double target = shape_.megabytes * 1024 * 1024 / kBinOverhead;
    for (size_t unit = 0; bytes_ < target; unit++) {
        AddDevice(enumKey, unit);
        AddDriverEntries(database, unit);
        if (unit % 3 == 0)
            AddClassInstance(classKey, unit);
    }
    return root;
}

} // namespace

std::unique_ptr<BenchKey> BuildSystemHive(const SystemHiveShape &shape) {
    return Builder(shape).Build();
}
