// Image files through test plug-ins (tests/plugins/rf_test.cpp): plug-in
// rejection, identification order, shared handles and the close queue,
// auxiliary objects and support files, copy/rename/destroy, threads.
#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <kraster/kimg.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "rasterformats/rf_plugin.hpp"
#include "support/plugin_test.hpp"
#include "support/ktest_checks.hpp"

namespace {

class ImgFile : public ktest::PluginTest {
  protected:
    std::string log = dir.file("log");
    ktest::ScopedEnv logEnv{"KTEST_RF_LOG", log.c_str()};

    void SetUp() override { install({}); }

    // Puts test plug-ins on the search path, under their own or a given file name.
    void use(std::initializer_list<const char *> names) {
        for (std::string n : names) {
            std::string as = n, source = n.substr(0, n.find('='));
            if (n.find('=') != std::string::npos) as = n.substr(n.find('=') + 1);
            std::string from = std::string(KRASTER_RF_TEST_DIR) + "/lib" + source + ".so";
            ASSERT_EQ(symlink(from.c_str(), (plugins + "/lib" + as + ".so").c_str()), 0) << from;
        }
    }
    std::string make(const std::string &name, const std::string &content) {
        ktest::writeFile(dir.file(name), content);
        return dir.file(name);
    }
    // Log events "<plug-in> <event> <file>" in order, filtered by a substring.
    std::vector<std::string> events(const std::string &filter = "") {
        std::istringstream in(ktest::readFile(log));
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            if (line.find(filter) != std::string::npos) out.push_back(line);
        return out;
    }
    long count(const std::string &filter) { return static_cast<long>(events(filter).size()); }
    std::string title(const std::string &file) {
        return ktest::take(kimg_FileTitleIdentify(file.c_str(), nullptr));
    }
};

TEST_F(ImgFile, EachMisbehavingPluginIsRejectedWithItsMessage) {
    const struct {
        const char *plugin, *content, *message;
    } cases[] = {
        {"rfnotitle", "KTRB\n", "InstanceTitleListGet missing from "},
        {"rfgarbage", "KTRB\n", "InstanceTitleListGet returning garbage from "},
        {"rfbadpixels", "KTRB\n", "InstancePixelTypesGet returning garbage from "},
        {"rfnoclose", "KTRB\n", "FileClose missing from "},
        {"rfbogus", "KTRB\n", "Bogus info returned from "},
        {"rfunident", "other\n", "Handle returned for unidentified file from "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.plugin);
        kimg_RasterFormatsReset();
        for (const auto &o : cases) unlink((plugins + "/lib" + o.plugin + ".so").c_str());
        use({c.plugin});
        std::string f = make("f.bad", c.content);
        ktest::PrintedReports printed;
        ktest::Err e;
        EXPECT_EQ(kimg_FileTitleIdentify(f.c_str(), &e), nullptr);
        EXPECT_SAYS(e, f + ":  Unrecognized format");
        std::string where = std::string(c.message) + plugins + "/lib" + c.plugin + ".so";
        EXPECT_TRUE(printed.contains(where + ":  DLL ignored")) << ktest::messages(e.r);
        // Never asked again in this process.
        long asked = count(std::string(c.plugin) + " ask");
        EXPECT_EQ(kimg_FileTitleIdentify(f.c_str(), &e), nullptr);
        EXPECT_EQ(count(std::string(c.plugin) + " ask"), asked);
    }
    // A handle returned for identification alone is not used, only reported.
    use({"rfleak"});
    kimg_RasterFormatsReset();
    ktest::PrintedReports printed;
    EXPECT_EQ(title(make("g.bad", "KTRB\n")), "Leak Raster");
    EXPECT_TRUE(printed.contains("when no mode specified:  DLL may be leaking descriptors"));
}

TEST_F(ImgFile, MissingOptionalListsGiveDefaultsAndASupportFile) {
    use({"rfplain", "rfgood"});
    std::string plain = make("a.pln", "PLN\n"), good = make("a.ktr", "KTR1\n");
    ktest::Err e;
    auto list = [&](auto get, const std::string &file) {
        long n = 0;
        char **names = nullptr;
        EXPECT_EQ(get(file.c_str(), &n, &names, &e), 0);
        return rftest::taken(n, names);
    };
    EXPECT_EQ(list(kimg_FilePixelTypesGet, plain), std::vector<std::string>{"u8"});
    EXPECT_EQ(list(kimg_FileCompressionTypesGet, plain), std::vector<std::string>{"None"});
    EXPECT_EQ(list(kimg_FilePixelTypesGet, good).size(), 13u);
    EXPECT_EQ(ktest::take(kimg_FileSupportFileIdentify(plain.c_str(), &e)), dir.file("a.aux"));
    EXPECT_EQ(kimg_FileSupportFileIdentify(good.c_str(), &e), nullptr);
    EXPECT_FALSE(e);
}

TEST_F(ImgFile, IdentificationOrderFollowsLoadStateMagicAndPseudoTemplates) {
    use({"rfpseudo=aapseudo", "rfgood", "rfsecond", "rftext"});
    std::string a = make("a.ktr", "KTR1\n");
    EXPECT_EQ(title(a), "Test Raster");  // builds the database, loading every plug-in
    kimg_RasterFormatsReset();           // from here on plug-ins are only described
    unlink(log.c_str());
    EXPECT_EQ(kimg_RasterFormatsLoadedCount(), 0);

    // No template, no magic of its own: asking everyone skips the plug-in
    // that declared a magic, which therefore stays unloaded.
    EXPECT_EQ(title(make("b.dat", "KTR2\n")), "Second Raster");
    EXPECT_EQ(count("rfgood"), 0);
    // Templates ("*.k[2-3]" of the second): the loaded plug-in is asked before the unloaded one;
    // the pseudo template ("<*.k2>") is never matched.
    EXPECT_EQ(title(make("c.k2", "KTR1\n")), "Test Raster");
    EXPECT_EQ(events("c.k2"), (std::vector<std::string>{"rfsecond ask c.k2", "rfgood ask c.k2"}));
    // Magic comes before asking every plug-in.
    EXPECT_EQ(title(make("d.bin", "KTR1\n")), "Test Raster");
    EXPECT_EQ(events("d.bin"), std::vector<std::string>{"rfgood ask d.bin"});
    // A text file goes to the text format by its character set; with one
    // byte above 127 it is not text, and the text format is not asked again.
    EXPECT_EQ(title(make("t.dat", "TXT1\nplain words\n")), "Text Raster");
    long status = 0;
    EXPECT_EQ(kimg_FileTitleIdentifyX(make("u.dat", "TXT1\n\x80").c_str(), nullptr, nullptr,
                                      &status, nullptr),
              nullptr);
    EXPECT_EQ(status, KIMG_RF_STATUS_UNRECOGNIZED);
    EXPECT_EQ(count("rftext ask u.dat"), 0);
}

TEST_F(ImgFile, DescribedPluginsLoadOnFirstNeedAndTheDatabaseFollowsTheFiles) {
    std::string copy = plugins + "/librfsecond.so";
    std::ifstream in(std::string(KRASTER_RF_TEST_DIR) + "/librfsecond.so", std::ios::binary);
    std::ofstream(copy, std::ios::binary) << in.rdbuf();
    use({"rfgood"});
    std::string a = make("a.ktr", "KTR1\n");
    // Identifies a and tells whether the list of plug-ins was built anew.
    auto rebuilt = [&] {
        ktest::PrintedReports printed;
        EXPECT_EQ(title(a), "Test Raster");
        return printed.contains("Building new list of RasterFormats DLLs.");
    };
    EXPECT_TRUE(rebuilt());
    kimg_RasterFormatsReset();
    unlink(log.c_str());
    EXPECT_FALSE(rebuilt());
    EXPECT_EQ((ktest::Ints{count("rfsecond load"), count("rfgood load")}), (ktest::Ints{0, 1}));
    // A newer plug-in file makes the database stale.
    struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
    kimg_RasterFormatsReset();
    EXPECT_TRUE(rebuilt());
    // A described plug-in that no longer loads is reported when first needed.
    kimg_RasterFormatsReset();
    ktest::writeFile(copy, "not a library");
    ASSERT_EQ(utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
    ktest::PrintedReports printed;
    EXPECT_EQ(title(make("b.k2", "KTR2\n")), "(NULL)");
    EXPECT_TRUE(printed.contains("Conditional load of DLL " + copy + " failed"));
    EXPECT_FALSE(printed.contains("Building new list"));
}

TEST_F(ImgFile, OneHandleIsSharedAndClosedThroughTheQueue) {
    use({"rfgood"});
    std::vector<std::string> f;
    for (int i = 0; i < 17; ++i) f.push_back(make("f" + std::to_string(i) + ".ktr", "KTR1\n"));
    ktest::Err e;
    Kimg_File *a = kimg_FileOpen(f[0].c_str(), &e, 0);
    Kimg_File *b = kimg_FileOpen(f[0].c_str(), &e, 0);
    ASSERT_TRUE(a && b) << ktest::messages(e.r);
    EXPECT_STREQ(kimg_FileOpenModeGet(a), "r+b");
    EXPECT_EQ((ktest::Ints{kimg_FileIsWritable(a, &e), count("open f0.ktr"), kimg_FileClose(a, &e),
                           kimg_FileClose(b, &e)}),
              (ktest::Ints{1, 1, 0, 0}));
    EXPECT_EQ(count("close f0.ktr"), 0);  // queued, still open
    Kimg_File *c = kimg_FileOpen(f[0].c_str(), &e, 0);
    EXPECT_EQ(count("open f0.ktr"), 1);
    kimg_FileClose(c, &e);
    // Sixteen other files fill the ring: the seventeenth close evicts f0.
    for (int i = 1; i < 17; ++i) kimg_FileClose(kimg_FileOpen(f[i].c_str(), &e, 0), &e);
    EXPECT_EQ((ktest::Ints{count("close f0.ktr"), count("close f1.ktr"),
                           kimg_FileNameDequeue(f[1].c_str(), &e), count("close f1.ktr")}),
              (ktest::Ints{1, 0, 0, 1}));
    // Unrecognised: no handle and no report.
    EXPECT_EQ(kimg_FileOpen(make("x.zzz", "hello").c_str(), &e, 0), nullptr);
    EXPECT_FALSE(e);
    ktest::PrintedReports printed;
    Kimg_File *d = kimg_FileOpen(f[2].c_str(), &e, 7, 0);
    EXPECT_TRUE(printed.contains("Unrecognized file option 7 - ignored."));
    kimg_FileClose(d, &e);
}

TEST_F(ImgFile, ThreadsOpeningTheSameNamesShareHandles) {
    use({"rfgood"});
    std::vector<std::string> f;
    for (int i = 0; i < 3; ++i) f.push_back(make("t" + std::to_string(i) + ".ktr", "KTR1\n"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&f, t] {
            for (int i = 0; i < 60; ++i) {
                Kimg_File *h = kimg_FileOpen(f[(i + t) % 3].c_str(), nullptr, 0);
                if (h) kimg_FileClose(h, nullptr);
            }
        });
    for (auto &t : threads) t.join();
    for (const auto &name : f) kimg_FileNameDequeue(name.c_str(), nullptr);
    for (int i = 0; i < 3; ++i) {
        std::string n = "t" + std::to_string(i) + ".ktr";
        EXPECT_GE(count("open " + n), 1);
        EXPECT_EQ(count("open " + n), count("close " + n));
    }
}

struct Rec {
    int32_t a;
    double b;
};

TEST_F(ImgFile, ObjectsRoundTripThroughThePluginOrTheSupportFile) {
    use({"rfgood", "rfplain", "rfnative"});
    ktest::Err e;
    Kmif_Design *design =
        kmif_DesignCreate(nullptr, "Tst", KMIF_TYPE_S32, "a", KMIF_TYPE_F64, "b", 0, &e);
    ASSERT_TRUE(design) << ktest::messages(e.r);
    Rec in{42, 2.5};
    for (const char *file : {"g.ktr", "p.pln"}) {
        SCOPED_TRACE(file);
        make(file, file[0] == 'g' ? "KTR1\n" : "PLN\n");
        std::string node = dir.file(file) + "(:Layer_1:Stats)";
        ASSERT_EQ(kimg_FileNodeDataWrite(node.c_str(), &in, design, &e), 0) << ktest::messages(e.r);
        Kmif_Design *back = nullptr;
        auto *out = static_cast<Rec *>(kimg_FileNodeDataRead(node.c_str(), &back, &e));
        ASSERT_TRUE(out) << ktest::messages(e.r);
        EXPECT_STREQ(back->name, "Tst");
        EXPECT_TRUE(out->a == 42 && out->b == 2.5);
        void *p = out;
        kmif_ObjectFree(&p, back, nullptr), kmif_DesignDelete(back, nullptr);
        std::string missing = dir.file(file) + "(:Layer_1:None)";
        EXPECT_EQ(kimg_FileNodeDataRead(missing.c_str(), &back, &e), nullptr);
        EXPECT_SAYS(e, "Cannot read :Layer_1:None");
    }
    // The plain format kept its object in a native support file naming it.
    EXPECT_EQ(title(dir.file("p.aux")), "MIRAVEN Image");
    EXPECT_EQ(kimg_FileSupportFileVerify(dir.file("p.pln").c_str(), dir.file("p.aux").c_str(), &e),
              1);
    EXPECT_EQ(kimg_FileSupportFileVerify(dir.file("g.ktr").c_str(), dir.file("p.aux").c_str(), &e),
              0);

    // That copy, rename and destroy carry the support file along the TIFF
    // tests show; here, their refusals and how failures leave the files.
    std::string p = dir.file("p.pln"), c = dir.file("c.pln");
    ASSERT_EQ(kimg_FileCopy(p.c_str(), c.c_str(), &e, 0), 0) << ktest::messages(e.r);
    refusedWith(e, kimg_FileCopy(p.c_str(), c.c_str(), &e, 0) == -1, "Attempt to copy over " + c);
    // A copy that fails on the support file leaves no destination behind (and
    // leaves alone what was there before).
    std::string h = dir.file("h.pln");
    make("h.aux", "foreign");
    EXPECT_EQ(kimg_FileCopy(p.c_str(), h.c_str(), &e, 0), -1);
    EXPECT_NE(access(h.c_str(), F_OK), 0);
    EXPECT_EQ(ktest::readFile(dir.file("h.aux")), "foreign");
    // A rename that fails on the support file renames everything back.
    EXPECT_EQ(kimg_FileRename(c.c_str(), h.c_str(), &e), -1);
    EXPECT_EQ(access(c.c_str(), F_OK), 0);
    EXPECT_NE(access(h.c_str(), F_OK), 0);
    std::string r = dir.file("r.pln");
    ASSERT_EQ(kimg_FileRename(c.c_str(), r.c_str(), &e), 0) << ktest::messages(e.r);
    refusedWith(e, kimg_FileRename(p.c_str(), r.c_str(), &e) == -1, "Attempt to rename over " + r);
    kmif_DesignDelete(design, nullptr);
}

int g_calls = 0;
double g_bytes = 0;
int refuse(double bytes, const char *, void *answer) {
    ++g_calls;
    g_bytes = bytes;
    return *static_cast<int *>(answer);
}

TEST_F(ImgFile, DiskSpaceAsksTheHandlerOnlyWhenSpaceIsShort) {
    int answer = 0;
    kimg_DiskFullHandlerRegister(refuse, &answer);
    EXPECT_EQ((ktest::Ints{kimg_DiskSpaceAvailable(dir.file("x").c_str(), 10), g_calls,
                           kimg_DiskSpaceAvailable(dir.file("x").c_str(), 1e20), g_calls}),
              (ktest::Ints{1, 0, 0, 1}));
    EXPECT_EQ(g_bytes, 1e20);
    kimg_DiskFullHandlerRegister(nullptr, nullptr);
    EXPECT_EQ(kimg_DiskSpaceAvailable(dir.file("x").c_str(), 1e20), 1);
    ktest::PrintedReports printed;
    EXPECT_EQ(kimg_DefaultDiskFullHandler(4096, nullptr, nullptr), 1);
    EXPECT_TRUE(printed.contains(
        "There may not be enough disk space for <unknown>, which is estimated to need 4 Kb more."));
}

TEST_F(ImgFile, QueriesAndTheirFailures) {
    use({"rfgood"});
    std::string a = make("a.ktr", "KTR1\n"), u = make("u.zzz", "??"), none = dir.file("none.ktr");
    ktest::Err e;
    EXPECT_EQ(kimg_FileType(a.c_str(), &e), 3);
    EXPECT_STREQ(kimg_FileTypeName(0), "MIRAVEN");
    EXPECT_STREQ(kimg_FileTypeName(9), "UNKNOWN");
    EXPECT_EQ(kimg_FileTitleVerify(a.c_str(), "Test Raster", &e), 1);
    EXPECT_EQ(kimg_FileTitleVerify(u.c_str(), "Test Raster", &e), 0);
    uint32_t mode = 0;
    int64_t t = 0;
    EXPECT_EQ(
        (ktest::Ints{kimg_FileModeSet(a.c_str(), 0640, &e), kimg_FileModeGet(a.c_str(), &mode, &e),
                     mode, kimg_FileModTimeGet(a.c_str(), &t, &e)}),
        (ktest::Ints{0, 0, 0640u, 0}));
    EXPECT_GT(t, 0);
    long n = 0;
    char **list = nullptr, **list2 = nullptr;
    Kmif_Design *d = nullptr;
    Kimg_File *f = kimg_FileOpen(a.c_str(), &e, 0);
    ASSERT_TRUE(f);
    const std::pair<const char *, std::function<bool()>> calls[] = {
        {"close", [&] { return kimg_FileClose(nullptr, &e) == -1; }},
        {"writable", [&] { return kimg_FileIsWritable(nullptr, &e) == -1; }},
        {"flush", [&] { return kimg_FileFlush(nullptr, &e) == -1; }},
        {"dequeue", [&] { return kimg_FileNameDequeue(nullptr, &e) == -1; }},
        {"identify", [&] { return !kimg_FileTitleIdentify(nullptr, &e); }},
        {"verify", [&] { return kimg_FileTitleVerify(a.c_str(), nullptr, &e) == -1; }},
        {"type", [&] { return kimg_FileType(u.c_str(), &e) == -1; }},
        {"pixels", [&] { return kimg_FilePixelTypesGet(u.c_str(), &n, &list, &e) == -1; }},
        {"compressions", [&] { return kimg_FileCompressionTypesGet(a.c_str(), &n, nullptr, &e); }},
        {"support", [&] { return !kimg_FileSupportFileIdentify(u.c_str(), &e); }},
        {"supportVerify", [&] { return kimg_FileSupportFileVerify(a.c_str(), u.c_str(), &e); }},
        {"modTime", [&] { return kimg_FileModTimeGet(u.c_str(), &t, &e) == -1; }},
        {"modeGet", [&] { return kimg_FileModeGet(none.c_str(), &mode, &e) == -1; }},
        {"modeSet", [&] { return kimg_FileModeSet(none.c_str(), 0600, &e) == -1; }},
        {"destroy", [&] { return kimg_FileDestroy(u.c_str(), &e) == -1; }},
        {"rename", [&] { return kimg_FileRename(u.c_str(), none.c_str(), &e) == -1; }},
        {"copy", [&] { return kimg_FileCopy(u.c_str(), none.c_str(), &e, 0) == -1; }},
        {"copyFormat",
         [&] {
             return kimg_FileCopy(a.c_str(), dir.file("x.zzz").c_str(), &e, 0) == 0 &&
                    kimg_FileCopy(a.c_str(), nullptr, &e, 0) == -1;
         }},
        {"proxy", [&] { return !kimg_FileProxyName(a.c_str(), &e); }},
        {"dataRead", [&] { return !kimg_FileDataRead(f, nullptr, &d, &e); }},
        {"dataWrite", [&] { return kimg_FileDataWrite(f, ":x", nullptr, d, &e) == -1; }},
        {"dataTime", [&] { return kimg_FileDataModTimeGet(f, ":x", &t, &e) == -1; }},
        {"dataDestroy", [&] { return kimg_FileDataDestroy(f, ":x", &e) == -1; }},
        {"nodeRead", [&] { return !kimg_FileNodeDataRead((u + "(:x)").c_str(), &d, &e); }},
        {"nodeWrite", [&] { return kimg_FileNodeDataWrite(nullptr, &n, d, &e) == -1; }},
        {"nodeTime", [&] { return kimg_FileNodeDataModTimeGet((u + "(:x)").c_str(), &t, &e); }},
        {"nodeDestroy", [&] { return kimg_FileNodeDataDestroy((u + "(:x)").c_str(), &e); }},
        {"objects", [&] { return kimg_FileNonStandardObjectList(nullptr, &n, &list, &e) == -1; }},
        {"objectsCopy", [&] { return kimg_FileNonStandardObjectsCopy(f, nullptr, &e) == -1; }},
        {"filter", [&] { return kimg_RasterFormatsFilterTableGet(&n, &list, nullptr, &e); }},
        {"describe", [&] { return kimg_RasterFormatsDescribe(nullptr, nullptr, &e) == -1; }},
    };
    for (const auto &[name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(call());
        EXPECT_TRUE(e);
    }
    ASSERT_EQ(kimg_RasterFormatsFilterTableGet(&n, &list, &list2, &e), 0);
    const auto titles = rftest::taken(n, list), filters = rftest::taken(n, list2);
    const long at = std::find(titles.begin(), titles.end(), "Test Raster") - titles.begin();
    ASSERT_LT(at, n);
    EXPECT_EQ(filters[size_t(at)], "*.k*");
    EXPECT_EQ(kimg_FileClose(f, &e), 0);
}

// The identification statuses reach callers as their messages: 17 (a new
// file over an existing name), 19 (a title that cannot create), 34 (a title
// other than the one found, or a file not of the title named), 2 and 33.
TEST_F(ImgFile, IdentificationStatusesReachTheCaller) {
    use({"rfgood", "rfsecond", "rfplain", "rfnative", "rfnocreate"});
    std::string a = make("a.ktr", "KTR1\n"), b = make("b.ktr", "KTR1\n");
    ktest::Err e;
    // 19: by template, and by the title named.
    for (const auto &[file, layer] :
         {std::pair{"new.fix", "(:Layer_1)"}, {"new.zz", "(Fixed Raster:Layer_1)"}}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(kimg_LayerCreate((dir.file(file) + layer).c_str(), KIMG_LAYER_ATHEMATIC,
                                   KGDA_TYPE_U8, 4, 4, tk, &e, 0),
                  nullptr);
        EXPECT_SAYS(e, "Title Fixed Raster is not creatable");
        EXPECT_NE(access(dir.file(file).c_str(), F_OK), 0);
    }
    // 34: a file already identified as one title, named with another; and a
    // file that the named title's plug-in does not take.
    Kimg_File *open = kimg_FileOpen(a.c_str(), &e, 0);
    ASSERT_TRUE(open);
    EXPECT_EQ(kimg_LayerOpen((a + "(Second Raster:Layer_1)").c_str(), tk, &e, 0), nullptr);
    EXPECT_SAYS(e, "Title mismatch");
    kimg_FileClose(open, &e);
    EXPECT_EQ(kimg_LayerOpen((b + "(Second Raster:Layer_1)").c_str(), tk, &e, 0), nullptr);
    EXPECT_SAYS(e, "RFInstanceFileNameIdentifyAndOpen failed");
    EXPECT_EQ(kimg_LayerOpen((b + "(No Such Title:Layer_1)").c_str(), tk, &e, 0), nullptr);
    EXPECT_SAYS(e, "Unknown format title No Such Title");
    // 2: reading a name that does not exist.
    EXPECT_EQ(kimg_LayerOpen((dir.file("gone.ktr") + "(:Layer_1)").c_str(), tk, &e, 0), nullptr);
    EXPECT_SAYS(e, "No such file or diretory");
    // 17: the support file of a plain image exists but is not a support
    // file; a write must not make a new one over it.
    std::string p = make("p.pln", "PLN\n"), foreign = make("p.aux", "foreign");
    Kmif_Design *design = kmif_DesignCreate(nullptr, "Tst", KMIF_TYPE_S32, "a", 0, &e);
    int32_t value = 5;
    {
        ktest::PrintedReports printed;
        EXPECT_EQ(kimg_FileNodeDataWrite((p + "(:x)").c_str(), &value, design, &e), -1);
        EXPECT_TRUE(printed.contains("Support file " + foreign + " cannot be opened"));
    }
    EXPECT_SAYS(e, foreign + ":  File already exists");
    EXPECT_SAYS(e, "Cannot create support file " + foreign);
    EXPECT_EQ(ktest::readFile(foreign), "foreign");
    // Statuses themselves, through the status form of identification.
    long status = -1;
    EXPECT_EQ(kimg_FileTitleIdentifyX(make("x.q", "?").c_str(), nullptr, nullptr, &status, &e),
              nullptr);
    EXPECT_EQ(status, KIMG_RF_STATUS_UNRECOGNIZED);
    EXPECT_FALSE(e);
    kmif_DesignDelete(design, nullptr);
}

// Objects handed back by a plug-in that cannot be decoded, and plug-in file
// services that fail: every one reaches the caller, and a failed copy leaves
// nothing behind.
TEST_F(ImgFile, PluginFailuresOfObjectsAndFileServicesAreReported) {
    use({"rfgood", "rfnative"});
    // Records of the test format: hex(node) hex(type):hex(dictionary):hex(bytes).
    auto hex = [](const std::string &s) {
        std::string h;
        for (unsigned char c : s) h += "0123456789abcdef"[c >> 4], h += "0123456789abcdef"[c & 15];
        return h;
    };
    auto record = [&](const std::string &node, const std::string &type, const std::string &dict,
                      const std::string &bytes) {
        return hex(node) + " " + hex(type) + ":" + hex(dict) + ":" + hex(bytes) + "\n";
    };
    std::string dict = "{1:lvalue,}Tst,.";
    std::string g = make("g.ktr", "KTR1\n" + record(":bad", "Tst", "{{{", "1234") +
                                      record(":absent", "Other", dict, "1234") +
                                      record(":short", "Tst", dict, "1"));
    const struct {
        const char *node, *message;
    } reads[] = {
        {":bad", "Bad dictionary returned by imagery file for :bad"},
        {":absent", "Design Other not found in dictionary returned by imagery file"},
        {":short", "Cannot decode :short"},
        {":none", "Cannot read :none from "},
    };
    for (const auto &r : reads) {
        SCOPED_TRACE(r.node);
        ktest::Err e;
        Kmif_Design *d = nullptr;
        EXPECT_EQ(kimg_FileNodeDataRead((g + "(" + r.node + ")").c_str(), &d, &e), nullptr);
        refusedWith(e, d == nullptr, r.message);
    }

    std::string c = dir.file("c.ktr"), r = dir.file("r.ktr");
    int64_t t = 0;
#define SERVICE(expr) [&](Kerr_ErrorReport **err) { return expr; }
    const struct {
        const char *entry, *message;
        std::function<int(Kerr_ErrorReport **)> call;
    } services[] = {
        {"FileFlush", "Flush failed on ",
         [&](Kerr_ErrorReport **err) {
             Kimg_File *f = kimg_FileOpen(g.c_str(), err, 0);
             int rc = kimg_FileFlush(f, err);
             kimg_FileClose(f, nullptr);
             return rc;
         }},
        {"FileModTimeGet", ":  FileModTimeGet failed",
         SERVICE(kimg_FileModTimeGet(g.c_str(), &t, err))},
        {"FileDestroy", ":  FileDestroy failed", SERVICE(kimg_FileDestroy(g.c_str(), err))},
        {"FileRename", "Rename of ", SERVICE(kimg_FileRename(g.c_str(), r.c_str(), err))},
        {"FileCopy", "Copy of ", SERVICE(kimg_FileCopy(g.c_str(), c.c_str(), err, 0))},
    };
#undef SERVICE
    for (const auto &s : services) {
        SCOPED_TRACE(s.entry);
        ktest::ScopedEnv fail{"KTEST_RF_FAIL", s.entry};
        ktest::Err e;
        refusedWith(e, s.call(&e) == -1, s.message);
        EXPECT_SAYS(e, std::string(s.entry) + " refused");
        EXPECT_EQ(access(g.c_str(), F_OK), 0);
        EXPECT_NE(access(r.c_str(), F_OK), 0);
        EXPECT_NE(access(c.c_str(), F_OK), 0) << "the part a failed copy left stays";
    }
    // Without faults the plug-in's services are used.
    ktest::Err e;
    EXPECT_EQ((ktest::Ints{kimg_FileModTimeGet(g.c_str(), &t, &e), t,
                           kimg_FileCopy(g.c_str(), c.c_str(), &e, 0)}),
              (ktest::Ints{0, 12345, 0}));
    EXPECT_EQ(ktest::readFile(c), ktest::readFile(g));
}

}  // namespace
