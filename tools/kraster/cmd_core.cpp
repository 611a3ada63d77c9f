// Core subcommands and the first demo section: toolkit, version, search
// directories and how a chained error report prints.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstdlib>

#include "tool.hpp"

namespace {

int version(const std::vector<std::string> &) {
    printf("KRaster %s\n", kint_Version());
    return 0;
}

void printPluginSearch(const char *className, const char *envName) {
    const char *env = getenv(envName);
    char *dir = kint_PluginDirectory(className);
    printf("  %-18s %s%s%s\n", className, env ? env : "", env ? ";" : "", dir ? dir : "(unknown)");
    kmsc_HeapFree(dir);
}

int demoToolkit() {
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *toolkit = kint_InitToolkit(&err);
    if (!toolkit) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    printf("KRaster %s initialised (toolkit handle %s, null device %s)\n", kint_Version(),
           kint_InitToolkit(nullptr) == toolkit ? "shared" : "NOT SHARED",
           KINT_NULLDEVICE ? "open" : "closed");
    printf("library directory: %s\n", kint_LibraryDirectory() ? kint_LibraryDirectory() : "?");
    printf("data files: %s\n", kint_DataDirectory());
    printf("plug-in search directories:\n");
    printPluginSearch("RasterFormats", "ORVEL_RASTER_FORMATS_PATH");
    printPluginSearch("ResampleMethods", "ORVEL_RESAMPLE_METHODS_PATH");
    printPluginSearch("GeometricModels", "ORVEL_GEOMETRIC_MODELS_PATH");
    printPluginSearch("DescriptorTables", "ORVEL_DESCRIPTOR_TABLES_PATH");
    printPluginSearch("BinFunctions", "ORVEL_BIN_FUNCTIONS_PATH");

    // A failure as it travels upward: an inner warning, a middle error with a
    // message, an outer wrapper without one.
    Kerr_ErrorReport *inner = kerr_CreateErrorReport(
        "kfio_Open", 1, 1, nullptr, "Error opening file %s\nError %d", "/no/such/file.img", 2);
    Kerr_ErrorReport *middle =
        kerr_CreateErrorReport("khfa_FileOpen", 7, 2, inner, "Cannot open %s", "/no/such/file.img");
    Kerr_ErrorReport *outer = kerr_CreateErrorReport("kimg_LayerOpen", 12, 2, middle, nullptr);
    fflush(stdout);
    fprintf(stderr, "a chained error report, as the toolkit prints it (stderr):\n");
    kerr_PrintErrorReport(outer, 0, 0);
    fprintf(stderr, "the same report for an end user:\n");
    kerr_PrintErrorReport(outer, 1, 0);
    kerr_DeleteErrorReport(outer);
    return 0;
}

tool::Registrar versionCommand("version", "", "print the library version", version);
tool::DemoRegistrar toolkitSection(10, "toolkit", demoToolkit);

}  // namespace
