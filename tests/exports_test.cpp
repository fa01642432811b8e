// Each plug-in exports exactly its listed names, unmangled, and nothing else: a host resolves
// them by name, and anything extra would leak into its symbol space.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// The dynamic symbols a shared object defines (or, with `undefined`, imports), unversioned.
std::set<std::string> dynamic_symbols(const std::string &path, bool undefined = false) {
    std::set<std::string> names;
    const std::string cmd = std::string("nm -D ") +
                            (undefined ? "--undefined-only" : "--defined-only") + " '" + path +
                            "' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return names;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char type = 0;
        char name[400] = {};
        unsigned long long addr = 0;
        if (undefined ? sscanf(line, " %c %399s", &type, name) == 2
                      : sscanf(line, "%llx %c %399s", &addr, &type, name) == 3) {
            std::string n = name;
            names.insert(n.substr(0, n.find('@')));
        }
    }
    pclose(p);
    return names;
}

struct Plugin {
    const char *path;
    std::set<std::string> exports;
};

const Plugin kPlugins[] = {
    {LBP_PLUGIN,
     {"_get_path_addr", "_check_slot_exist", "_brdPVQ_LBP_QueryDevices", "_brdPVQ_LBP_DeviceInfo",
      "_brdPVQ_LBP_GetPairsStatus", "_brdPVQ_LBP_FactoryReset", "_brdPVQ_LBP_SaveConfig",
      "_brdPVQ_LBP_SetPairBypass", "_brdPVQ_LBP_SetAllPairs", "_brdPVQ_LBP_SetJustOnPairs",
      "_brdPVQ_LBP_SetSystemOffPairs", "_brdPVQ_LBP_SetPortDisconnect",
      "_brdPVQ_LBP_SetAllPortsDisconnect", "_brdPVQ_LBP_TimerConfig", "_brdPVQ_LBP_TimerStart",
      "_brdPVQ_LBP_TimerStop", "_brdPVQ_LBP_TimerTick", "_brdPVQ_LBP_TimerStatus"}},
    {PSU_PLUGIN,
     {"_brdPVQ_PSU_QueryDevices", "_brdPVQ_PSU_DeviceInfo", "_brdPVQ_PSU_Status",
      "_brdPVQ_PSU_SensorInfo", "_brdPVQ_PSU_WattsInfo"}},
    {HWM_PLUGIN,
     {"_brdPVQ_HWM_GetCpuTemp", "_brdPVQ_HWM_GetSysTemp", "_brdPVQ_HWM_GetVcore",
      "_brdPVQ_HWM_Get12V", "_brdPVQ_HWM_Get5V", "_brdPVQ_HWM_Get3V3", "_brdPVQ_HWM_Get5Vsb",
      "_brdPVQ_HWM_Get3V3sb", "_brdPVQ_HWM_GetVbat", "_brdPVQ_HWM_GetCpuFan",
      "_brdPVQ_HWM_GetSysFan", "_brdPVQ_HWM_GetFanSpeed", "_brdPVQ_HWM_GetFanSpeedEx",
      "_brdPVQ_HWM_GetPowerSupply", "_brdPVQ_HWM_CaseOpenStatus", "_brdPVQ_HWM_ClearCaseOpenStatus",
      "_brdPVQ_HWM_GetSensorReport", "_brdPVQ_HWM_GetSensorName"}},
};

} // namespace

TEST(Exports, EachPluginExportsExactlyItsNames) {
    for (const Plugin &plugin : kPlugins) {
        SCOPED_TRACE(plugin.path);
        const std::set<std::string> found = dynamic_symbols(plugin.path);
        for (const std::string &name : plugin.exports)
            EXPECT_TRUE(found.count(name)) << "missing export " << name;
        for (const std::string &name : found)
            EXPECT_TRUE(plugin.exports.count(name)) << "extra export " << name;
    }
}

// No allocation, no exceptions, no printing, no environment or files of their own: none of
// the plug-ins imports what those would need.
TEST(Exports, PluginsImportNothingTheyMustNotUse) {
    const char *const forbidden[] = {"malloc",
                                     "calloc",
                                     "realloc",
                                     "free",
                                     "_Znwm",
                                     "_Znwj",
                                     "_Znam",
                                     "_Znaj",
                                     "_ZdlPv",
                                     "_ZdaPv",
                                     "__cxa_throw",
                                     "__cxa_allocate_exception",
                                     "__gxx_personality_v0",
                                     "printf",
                                     "puts",
                                     "fprintf",
                                     "fputs",
                                     "perror",
                                     "vfprintf",
                                     "getenv",
                                     "secure_getenv",
                                     "fopen",
                                     "syslog",
                                     "pthread_cancel"};
    for (const Plugin &plugin : kPlugins) {
        SCOPED_TRACE(plugin.path);
        const std::set<std::string> imports = dynamic_symbols(plugin.path, true);
        EXPECT_FALSE(imports.empty());
        for (const char *name : forbidden) EXPECT_EQ(imports.count(name), 0u) << "imports " << name;
    }
}
