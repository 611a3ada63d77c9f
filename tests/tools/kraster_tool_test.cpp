// The kraster tool as people use it: subcommands run as child processes on
// files the tests make, their exit statuses and messages, and what they
// stored checked through the library.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"
#include "support/tool_run.hpp"

namespace {

using tooltest::Outcome;

class Tool : public ::testing::Test {
  protected:
    ktest::TempDir dir;
    ktest::ScopedEnv cache{"XDG_CACHE_HOME", dir.file("cache").c_str()};
    void SetUp() override { ASSERT_TRUE(kint_InitToolkit(nullptr)); }

    Outcome run(const std::string &args, const std::string &env = "") {
        return tooltest::run(dir, args, env);
    }
    // A run that must succeed.
    Outcome must(const std::string &args, const std::string &env = "") {
        Outcome r = run(args, env);
        EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
        return r;
    }
    // A layer's pixels as f64, and its size and type.
    std::vector<double> pixels(const std::string &name, Kimg_LayerInfo *info) {
        ktest::Err e;
        Kimg_Layer *l =
            kimg_LayerOpen(name.c_str(), kint_GetInit(), &e, KIMG_LAYER_OPTION_READONLY, 0);
        EXPECT_NE(l, nullptr) << name << ktest::messages(e.r);
        if (!l) return {};
        kimg_LayerInfoGet(l, info, &e);
        Kgda_BaseData *r = kimg_PixelRectCreate(info->width, info->height, KGDA_TYPE_F64, &e);
        EXPECT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, info->width, info->height, r, &e), 0);
        const auto *p = reinterpret_cast<const double *>(r->data);
        std::vector<double> v(p, p + info->width * info->height);
        kimg_PixelRectDelete(r, nullptr), kimg_LayerClose(l, nullptr);
        kimg_FileNameDequeue(name.substr(0, name.find('(')).c_str(), nullptr);
        return v;
    }
    long layerCount(const std::string &file) {
        long n = -1;
        char **names = nullptr;
        if (kimg_LayerGetNames(file.c_str(), &n, &names, nullptr) != 0) return -1;
        for (long i = 0; i < n; ++i) kmsc_HeapFree(names[i]);
        kmsc_HeapFree(names), kimg_FileNameDequeue(file.c_str(), nullptr);
        return n;
    }
    bool exists(const std::string &name) { return access(name.c_str(), F_OK) == 0; }
    // A command refused with status 1 and the message, leaving the file as
    // it was (or absent).
    void refused(const std::string &args, const std::string &message, const std::string &file) {
        const bool was = exists(file);
        const std::string before = was ? ktest::readFile(file) : "";
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_TRUE(ktest::contains(r.err, message)) << args << "\n" << r.err;
        EXPECT_EQ(exists(file), was) << file;
        EXPECT_EQ(was ? ktest::readFile(file) : "", before) << file;
    }
};

// Wrong usage: status 2, the reason and the usage line; files that are not
// there: status 1 and a readable message.
TEST_F(Tool, WrongUsageAndMissingFiles) {
    const struct {
        std::string args;
        int status;
        const char *message;
    } cases[] = {
        {"create", 2, "one file name is needed"},
        {"create x.img --size 3 --type u8", 2, "--size WxH is needed"},
        {"create x.img --size 3x0 --type u8", 2, "--size WxH is needed"},
        {"create x.img --size 3x3 --type q9", 2, "--type must name a pixel type"},
        {"create x.img --size 3x3 --type u8 --layers 0", 2, "--layers must be a positive count"},
        {"create x.img --size 3x3 --type u8 --block 4", 2, "--block must be WxH"},
        {"create x.img --size 3x3 --type u8 --fill 1,2", 2, "--fill must be one number"},
        {"create x.img --size 3x3 --type u8 --bogus", 2, "unknown option --bogus"},
        {"create x.img --size", 2, "option --size needs a value"},
        {"copy a.img", 2, "a source and a destination are needed"},
        {"pyramids", 2, "no file named"},
        {"pyramids a.img --kernel 3x3", 2, "--kernel is 2x2, 4x4 or nearest"},
        {"nosuchcommand", 2, "unknown command \"nosuchcommand\""},
        {"copy " + dir.file("missing.img") + " " + dir.file("o.img"), 1,
         "missing.img: No such file"},
        {"pyramids " + dir.file("missing.img"), 1, "listing the layers of"},
        {"info " + dir.file("missing.img"), 1, "failed"},
    };
    for (const auto &c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_TRUE(ktest::contains(r.err, c.message)) << c.args;
        EXPECT_EQ(ktest::contains(r.err, "usage: kraster"), c.status == 2) << c.args;
    }
    EXPECT_FALSE(exists("x.img"));
    for (const std::string command : {"create", "copy", "pyramids", "info"})
        EXPECT_EQ(must(command + " --help").out.rfind("usage: kraster " + command + " ", 0), 0u)
            << command;
}

// formats: every plug-in with what it offers, and one that cannot be loaded
// with the reason.
TEST_F(Tool, FormatsListsPlugInsAndRejections) {
    const std::string extra = dir.file("plugins");
    ASSERT_EQ(std::system(("mkdir -p " + extra).c_str()), 0);
    ktest::writeFile(extra + "/libbroken.so", "not a shared object");
    const Outcome r = must("formats");
    for (const char *text : {"title \"MIRAVEN Image\": template *.img", "title \"TIFF\"",
                             "compressions: None LZW", "creatable", "needs support file: yes"})
        EXPECT_TRUE(ktest::contains(r.out, text));
    const Outcome b = must("formats", "ORVEL_RASTER_FORMATS_PATH=" + extra + " ");
    EXPECT_TRUE(
        ktest::contains(b.out, "broken (" + extra + "/libbroken.so): rejected: Cannot load"));
    EXPECT_TRUE(ktest::contains(b.out, "title \"TIFF\""));
}

// create in both formats, filled and not; a name that exists is refused and
// stays as it was.
TEST_F(Tool, CreateMakesTheLayersAsked) {
    const std::string img = dir.file("c.img"), tif = dir.file("c.tif");
    Outcome r = must("create " + img +
                     " --size 70x50 --type u16 --layers 3 --fill 7 --block 32x16 --thematic");
    EXPECT_TRUE(ktest::contains(r.out, "3 layers of 70 x 50 u16"));
    EXPECT_EQ(layerCount(img), 3);
    Kimg_LayerInfo info{};
    for (int i = 1; i <= 3; ++i) {
        const std::vector<double> v = pixels(img + "(:Layer_" + std::to_string(i) + ")", &info);
        EXPECT_EQ(v, std::vector<double>(70 * 50, 7.0)) << i;
        EXPECT_EQ(info.pixelType, KGDA_TYPE_U16);
        EXPECT_EQ(info.layerType, KIMG_LAYER_THEMATIC);
        EXPECT_EQ((ktest::Ints{info.blockWidth, info.blockHeight}), (ktest::Ints{32, 16}));
    }
    r = must("create " + tif + " --size 40x30 --type f32 --compression LZW -q");
    EXPECT_EQ(pixels(tif + "(:Layer_1)", &info), std::vector<double>(40 * 30, 0.0));
    EXPECT_EQ(info.pixelType, KGDA_TYPE_F32);
    refused("create " + tif + " --size 4x4 --type u8", "exists", tif);
    // A compression the format does not have: reported, nothing left.
    const std::string z = dir.file("z.img");
    refused("create " + z + " --size 4x4 --type u8 --compression Nope",
            "has no compression Nope (it has None, ", z);
}

// copy between formats keeps every pixel, takes --format and --compression
// and leaves pyramid levels out; info, as text and as JSON a parser reads,
// gives the format, the layers, their compression and pyramid levels.
TEST_F(Tool, CopyBetweenFormatsAndInfo) {
    const std::string img = dir.file("a.img");
    ASSERT_EQ(run("create " + img + " --size 300x200 --type u16 --layers 2").status, 0);
    std::vector<double> band(300 * 200);
    for (size_t i = 0; i < band.size(); ++i) band[i] = static_cast<double>((i * 7919) % 65536);
    ktest::Err e;
    Kimg_Layer *l = kimg_LayerOpen((img + "(:Layer_2)").c_str(), kint_GetInit(), &e, 0);
    ASSERT_NE(l, nullptr);
    Kgda_BaseData *rect = kimg_PixelRectCreate(300, 200, KGDA_TYPE_F64, &e);
    std::copy(band.begin(), band.end(), reinterpret_cast<double *>(rect->data));
    ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, 300, 200, rect, &e), 0);
    kimg_PixelRectDelete(rect, nullptr);
    ASSERT_EQ(kimg_LayerClose(l, &e), 0);
    kimg_FileNameDequeue(img.c_str(), nullptr);
    ASSERT_EQ(run("pyramids " + img + " -q").status, 0);
    Outcome r = must("info " + img);
    EXPECT_TRUE(ktest::contains(r.out, img + ": MIRAVEN Image"));
    EXPECT_TRUE(ktest::contains(r.out, "pyramid levels: 149 x 99, 73 x 48"));
    EXPECT_FALSE(ktest::contains(r.out, "(:Layer_1_ss_2_)\n")) << r.out;
    const std::string tif = dir.file("b.tif"), back = dir.file("c.img"), dat = dir.file("d.dat");
    const std::string packed = dir.file("e.img");
    must("copy " + img + " " + tif);
    must("copy " + tif + " " + back);
    must("copy " + img + " " + dat + " --format TIFF --compression LZW");
    must("copy " + img + " " + packed + " --compression \"Run-Length Encoding (ESRI)\"");
    for (const std::string &f : {tif, back, dat, packed}) {
        EXPECT_EQ(layerCount(f), 2) << f;
        Kimg_LayerInfo info{};
        EXPECT_EQ(pixels(f + "(:Layer_2)", &info), band) << f;
        EXPECT_EQ(info.pixelType, KGDA_TYPE_U16);
        EXPECT_EQ(info.compression, f == packed || f == dat) << f;  // RLE, LZW
    }
    EXPECT_EQ(ktest::take(kimg_FileTitleIdentify(dat.c_str(), nullptr)), "TIFF");
    const std::string f = dir.file("f.img");
    refused("copy " + img + " " + f + " --format Nope", "No raster format has the title Nope", f);
    refused("copy " + img + " " + tif, "Attempt to copy over " + tif, tif);
    ASSERT_EQ(run("pyramids -q " + dat).status, 0);
    r = must("info --json " + dat);
    ktest::writeFile(dir.file("info.json"), r.out);
    const std::string script =
        "import json,sys; d=json.load(open(sys.argv[1])); l=d['layers']; "
        "print(d['format'], len(l), l[1]['name'].split('(')[1], l[0]['width'], l[0]['height'], "
        "l[0]['pixelType'], l[0]['compression'], l[0]['nullValue'], "
        "[(p['name'].split('/')[-1], p['width'], p['height']) for p in l[1]['pyramidLevels']])";
    const std::string cmd = "python3 -c \"" + script + "\" " + dir.file("info.json") + " >" +
                            dir.file("parsed.txt") + " 2>&1";
    if (std::system("python3 -c 1 2>/dev/null") != 0) GTEST_SKIP() << "no python3 to parse JSON";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << ktest::readFile(dir.file("parsed.txt")) << r.out;
    EXPECT_EQ(ktest::readFile(dir.file("parsed.txt")),
              "TIFF 2 :Layer_2) 300 200 u16 LZW None [('d.rrd(:Layer_2_ss_2_)', 149, 99), "
              "('d.rrd(:Layer_2_ss_4_)', 73, 48)]\n")
        << r.out;
}

// The progress bar: drawn when forced, never into a file otherwise; Ctrl-C
// during a copy stops it and leaves no destination.
TEST_F(Tool, ProgressAndInterruptedCopy) {
    const std::string img = dir.file("big.img"), tif = dir.file("big.tif");
    ASSERT_EQ(run("create " + img + " --size 1500x1500 --type u16 --layers 3 --fill 9").status, 0);
    Outcome r = must("copy " + img + " " + dir.file("quiet.tif"));
    EXPECT_FALSE(ktest::contains(r.err, "%")) << r.err;
    r = must("copy --progress " + img + " " + dir.file("shown.tif"));
    EXPECT_TRUE(ktest::contains(r.err, "Copying Layer_3"));
    EXPECT_TRUE(ktest::contains(r.err, "100%"));

    const tooltest::Outcome cut = tooltest::interrupted({"copy", "--progress", img, tif});
    EXPECT_EQ(cut.status, 1) << cut.err;
    EXPECT_TRUE(ktest::contains(cut.err, "User abort"));
    EXPECT_FALSE(exists(tif));
}

}  // namespace
