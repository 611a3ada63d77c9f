// External projections through the example module and the example program:
// points converted and shared by copies, and every way the child can fail
// (garbage, dying, reports, wrong byte counts) ending in a report.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

using ktest::Params;
using ktest::Projection;

class External : public ::testing::Test {
  protected:
    void SetUp() override {
        toolkit = kint_InitToolkit(nullptr);
        ASSERT_NE(toolkit, nullptr);
    }
    // The example's record: mode in parameter 0, then k, lon0, false origin.
    Params record(const char *module, double mode, double k = 2) {
        Params p(kprj_ProParametersCreate(nullptr));
        p->proType = KPRJ_EXTERNAL;
        kprj_CharStrCreate(module, &p->proExeName, nullptr);
        kprj_DblArrayCreate(15, &p->proParams, nullptr);
        p->proParams.data[0] = mode;
        p->proParams.data[2] = k;
        p->proParams.data[4] = 0.1;
        p->proParams.data[6] = 100;
        p->proParams.data[7] = 200;
        kprj_SpheroidByName(toolkit, "GRS 1980", p->proSpheroid, nullptr);
        return p;
    }
    Kint_InitToolkitData *toolkit = nullptr;
    ktest::Err err;
    ktest::ScopedEnv path{"ORVEL_PROJECTIONS_PATH", KRASTER_PROJECTIONS_EXAMPLE_DIR};
};

// Projects a grid forward and back, checking the example's formula.
void checkPlate(Kprj_Projection *p, int n) {
    ktest::Err err;
    std::vector<Kprj_Coordinate> ll(static_cast<size_t>(n)), xy(ll.size()), back(ll.size());
    for (int i = 0; i < n; ++i) ll[static_cast<size_t>(i)] = {-1 + 2.0 * i / n, 0.5 - 1.0 * i / n};
    ASSERT_EQ(kprj_ProjectionFromLL(p, n, ll.data(), xy.data(), &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(kprj_ProjectionToLL(p, n, xy.data(), back.data(), &err), 0) << ktest::messages(err.r);
    const double ak = 6378137.0 * 2;
    for (size_t i = 0; i < ll.size(); i += ll.size() / 7 + 1) {
        EXPECT_NEAR(xy[i].x, 100 + ak * (ll[i].x - 0.1), 1e-6) << i;
        EXPECT_NEAR(xy[i].y, 200 + ak * ll[i].y, 1e-6) << i;
    }
    EXPECT_NEAR(back[ll.size() - 1].x, ll.back().x, 1e-12);
    EXPECT_NEAR(back[ll.size() - 1].y, ll.back().y, 1e-12);
}

TEST_F(External, ModuleAndProgramProjectAndShareWithCopies) {
    for (const char *name : {"kprj_example", "kprj_example_program"}) {
        SCOPED_TRACE(name);
        Params p = record(name, 0);
        Projection a(kprj_ProjectionInit(toolkit, p.get(), &err));
        ASSERT_NE(a, nullptr) << ktest::messages(err.r);
        checkPlate(a.get(), 5);
        Projection b(kprj_ProjectionCopy(a.get(), &err));
        ASSERT_NE(b, nullptr);
        a.reset();                    // the copy keeps the module instance or the child
        checkPlate(b.get(), 150000);  // several messages to the child
        refused(err, kprj_ProjectionFromLL(b.get(), -1, nullptr, nullptr, &err) == -1,
                "Bad point count");
    }
    // A pair between the module and the program.
    Params m = record("kprj_example", 0), c = record("kprj_example_program", 0, 4);
    Kprj_ProjectionPair *pair = nullptr;
    ASSERT_NE(kprj_ProjectionPairGet(toolkit, &pair, m.get(), c.get(), &err), nullptr);
    Kprj_Coordinate in{100 + 6378137.0 * 2, 200}, out;
    ASSERT_EQ(kprj_Project(pair, 1, &in, &out, &err), 0) << ktest::messages(err.r);
    EXPECT_NEAR(out.x, 100 + 6378137.0 * 4 * 1.0, 1e-6);
    kprj_ProjectionPairFree(pair);
    // External records compare by module name (and then as any other).
    EXPECT_EQ(kprj_ProParametersEqual(m.get(), record("kprj_example", 0).get(), &err), 1);
    EXPECT_EQ(kprj_ProParametersEqual(m.get(), record("kprj_example_program", 0).get(), &err), 0);
    // The module refuses a negative scale with its own report.
    Params bad = record("kprj_example", 0, -1);
    refusedWith(err, kprj_ProjectionInit(toolkit, bad.get(), &err) == nullptr,
                "Scale factor and semi-major axis must be positive");
}

TEST_F(External, ChildFailuresEndInReports) {
    struct Case {
        double mode;
        bool initFails;
        std::vector<std::string> messages;
    } cases[] = {
        {1, false, {"Out of sync"}},
        {2, false, {"pipe read failed: end of file"}},
        {3,
         true,
         {"Refusing to initialise", "Parameter 0 asks for a refusal",
          "Error returned from KPRJ_X_INIT command", "Initialization of external process"}},
        {4, false, {"No data returned from KPRJ_X_FROMLL command"}},
        {5, false, {"Out of sync", "Error returned from KPRJ_X_FROMLL command"}},
        {6, true, {"Byte count of data returned is not 0"}},
        {0, true, {"Scale factor and semi-major axis must be positive"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        Params p = record("kprj_example_program", c.mode, c.mode == 0 ? -1 : 2);
        Projection x(kprj_ProjectionInit(toolkit, p.get(), &err));
        if (!c.initFails) {
            ASSERT_NE(x, nullptr) << ktest::messages(err.r);
            Kprj_Coordinate ll{0.2, 0.3}, xy;
            EXPECT_EQ(kprj_ProjectionFromLL(x.get(), 1, &ll, &xy, &err), -1);
        } else {
            EXPECT_EQ(x, nullptr);
        }
        const std::string got = ktest::messages(err.r);
        for (const std::string &m : c.messages)
            EXPECT_NE(got.find(m), std::string::npos) << got << " lacks " << m;
        if (x && c.mode != 4) {
            // The connection is closed after a protocol failure.
            Kprj_Coordinate ll{0.2, 0.3}, xy;
            refusedWith(err, kprj_ProjectionToLL(x.get(), 1, &ll, &xy, &err) == -1,
                        "Bad connection");
        }
    }
}

TEST_F(External, ModulesAndProgramsThatCannotBeUsed) {
    ktest::TempDir dir;
    ktest::ScopedEnv here("ORVEL_PROJECTIONS_PATH", dir.path().c_str());
    // A library without the exports is ignored with a warning.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&kprj_ProjectionInit), &info), 0);
    ASSERT_EQ(symlink(info.dli_fname, dir.file("plain.so").c_str()), 0);
    {
        ktest::PrintedReports printed;
        Params p = record("plain", 0);
        EXPECT_EQ(kprj_ProjectionInit(toolkit, p.get(), &err), nullptr);
        EXPECT_TRUE(printed.contains("kprj_XProjectionInit missing from"));
        EXPECT_NE(ktest::messages(err.r).find("Unable to find executable plain or dll plain.so"),
                  std::string::npos)
            << ktest::messages(err.r);
    }
    // A file that does not load.
    std::ofstream(dir.file("broken.so")) << "not a library";
    Params b = record("broken", 0);
    refusedWith(err, kprj_ProjectionInit(toolkit, b.get(), &err) == nullptr,
                "Error returned from kdll_Open for");
    // A program that cannot be run.
    std::ofstream(dir.file("noexec")) << "#!/nonexistent/interpreter\n";
    ASSERT_EQ(chmod(dir.file("noexec").c_str(), 0755), 0);
    Params n = record("noexec", 0);
    refusedWith(err, kprj_ProjectionInit(toolkit, n.get(), &err) == nullptr,
                "Error executing external projection executable");
    Params none = record("", 0);
    refusedWith(err, kprj_ProjectionInit(toolkit, none.get(), &err) == nullptr,
                "Invalid projection parameters");
}

}  // namespace
