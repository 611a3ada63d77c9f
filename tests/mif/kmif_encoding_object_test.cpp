// Object services: allocation, deep copy, item values, freeing, counted
// strings and self-contained objects, including runs with every allocation
// failing in turn.
#include <functional>

#include "encoding_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using mifenc::Bytes;
using mifenc::Designs;
using mifenc::Object;

class MifObject : public mift::MifTest {
  protected:
    void SetUp() override {
        MifTest::SetUp();
        // The thread's stream state lives as long as the thread; make it
        // before counting heap blocks.
        kmif_StreamImmediateFlushDisable(nullptr);
        kmif_StreamImmediateFlushEnable(nullptr);
        kmif_StreamImmediateFlushDisable(nullptr);
    }
};

const char *const kRich =
    "{1:cq,0:psr,2:*Sw,}In,"
    "{1:e1:A,e,0:pSv,3:*oIn,w,11:1bits,0:poIn,list,1:oIn,last,2:x{1:dd,}Flat,flat,0:pcs,"
    "2:bb,0:pbpb,}T,.";

TEST_F(MifObject, AllocateRoundsTheHostSizeUpAndCountedStringsCopy) {
    Designs d("{1:Sa,1:Cb,}A,{}Empty,.");
    ASSERT_EQ(d["A"]->hostSize, 4);
    ktest::Err err;
    void *object = kmif_ObjectAllocate(d["A"], &err);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(d["A"]->hostSize, 8);
    EXPECT_EQ(Bytes(static_cast<unsigned char *>(object), static_cast<unsigned char *>(object) + 8),
              Bytes(8, 0));
    EXPECT_EQ(kmif_ObjectFree(&object, d["A"], &err), 0);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(kmif_NewObject(d["Empty"], &err), nullptr);
    EXPECT_FALSE(err);
    EXPECT_EQ(kmif_ObjectAllocate(nullptr, &err), nullptr);
    EXPECT_FALSE(err);

    // Counted strings.
    Kmif_String s{7, reinterpret_cast<char *>(1)};
    ASSERT_EQ(kmif_KmifStringFromString(&s, "", &err), 0);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.string, nullptr);
    ASSERT_EQ(kmif_KmifStringFromString(&s, "abc", &err), 0);
    EXPECT_EQ(s.count, 4);
    EXPECT_STREQ(s.string, "abc");

    Kmif_String t{};
    ASSERT_EQ(kmif_KmifStringFromKmifString(&t, &s, &err), 0);
    EXPECT_NE(t.string, s.string);
    EXPECT_EQ(t.count, 4);
    EXPECT_EQ(memcmp(t.string, "abc", 4), 0);

    // Only count characters are taken, and never past the NUL.
    const std::pair<Kmif_String, const char *> texts[] = {
        {t, "abc"}, {{2, s.string}, "ab"}, {{}, ""}};
    for (auto [from, text] : texts) {
        char *c = kmif_KmifStringToString(&from, &err);
        EXPECT_STREQ(c, text);
        kmsc_HeapFree(c);
    }
    Kmif_String longer{40, s.string}, copied{};
    ASSERT_EQ(kmif_KmifStringFromKmifString(&copied, &longer, &err), 0);
    EXPECT_EQ(copied.count, 40);
    EXPECT_STREQ(copied.string, "abc");
    kmsc_HeapFree(copied.string);
    kmsc_HeapFree(s.string);
    kmsc_HeapFree(t.string);
}

TEST_F(MifObject, CopiesGoAsDeepAsTheNestingLimitAndNoDeeper) {
    // Designs nested in place around a counted string: the top and 128
    // levels below it copy, one level more is refused.
    for (const int levels : {129, 130}) {
        ktest::Err err;
        std::vector<Kmif_Design *> d{
            kmif_DesignCreate(nullptr, "L0", KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER, "s",
                              KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER, "t", 0, &err)};
        for (int i = 1; i < levels && d.back(); ++i)
            d.push_back(kmif_DesignCreate(nullptr, ("L" + std::to_string(i)).c_str(),
                                          KMIF_TYPE_NESTED, "n", d.back(), 0, &err));
        ASSERT_NE(d.back(), nullptr) << ktest::messages(err.r);
        {
            std::mt19937 rng(levels);
            Object source(d.back(), mifenc::newObject(d.back())), copy(d.back());
            // Freeing, too, stops at the limit: only the copyable object gets arrays.
            if (levels == 129) mifenc::fillRandom(source.p, d.back(), rng);
            const int status = kmif_ObjectCopy(source.p, &copy.p, d.back(), &err);
            std::string why;
            if (levels == 129) {
                ASSERT_EQ(status, 0) << ktest::messages(err.r);
                EXPECT_TRUE(mifenc::equalObjects(source.p, copy.p, d.back(), &why)) << why;
                // The item's value, got with each of its two strings failing in
                // turn, leaves nothing behind either.
                std::vector<unsigned char> value(static_cast<size_t>(d.back()->hostSize));
                bool got = false;
                EXPECT_EQ(ktest::runWithEachAllocationFailing(
                              [&](auto e) {
                                  return got = kmif_ObjectItemValueGet(source.p, d.back(), "n",
                                                                       value.data(), e);
                              },
                              [&] {
                                  void *held = value.data();
                                  if (got) kmif_ObjectItemsFree(&held, d.back(), nullptr);
                              }),
                          2);
            } else {
                EXPECT_EQ(status, -1);
                EXPECT_TRUE(ktest::hasCode(err.r, "kmif_ObjectCopy", 2)) << ktest::messages(err.r);
            }
        }
        for (Kmif_Design *x : d) kmif_DesignDestroy(x, nullptr);
    }
}

TEST_F(MifObject, CopyIsDeepAndFreeingLeavesNullPointersAndZeroCounts) {
    Designs d(kRich);
    std::mt19937 rng(5);
    for (int round = 0; round < 40; ++round) {
        Object source(d["T"], mifenc::newObject(d["T"]));
        mifenc::fillRandom(source.p, d["T"], rng);
        const Bytes before = mifenc::encode(source.p, d["T"]);
        Object copy(d["T"]);
        ktest::Err err;
        ASSERT_EQ(kmif_ObjectCopy(source.p, &copy.p, d["T"], &err), 0) << ktest::messages(err.r);
        std::string why;
        ASSERT_TRUE(mifenc::equalObjects(source.p, copy.p, d["T"], &why)) << why;
        // Nothing is shared: freeing the source leaves the copy intact.
        kmif_ObjectItemsFree(&source.p, d["T"], nullptr);
        EXPECT_EQ(mifenc::encode(copy.p, d["T"]), before);
        // Copying over an object with arrays of its own frees them.
        Object other(d["T"], mifenc::newObject(d["T"]));
        mifenc::fillRandom(other.p, d["T"], rng);
        ASSERT_EQ(kmif_ObjectCopy(other.p, &copy.p, d["T"], &err), 0);
        ASSERT_TRUE(mifenc::equalObjects(other.p, copy.p, d["T"], &why)) << why;
        // Copying an object onto itself changes nothing.
        ASSERT_EQ(kmif_ObjectCopy(copy.p, &copy.p, d["T"], &err), 0);
        ASSERT_TRUE(mifenc::equalObjects(other.p, copy.p, d["T"], &why)) << why;
    }

    // Freeing leaves null pointers and zero counts.
    Object object(d["T"], mifenc::newObject(d["T"]));
    mifenc::fillRandom(object.p, d["T"], rng, 6);
    ktest::Err err;
    ASSERT_EQ(kmif_ObjectItemsFree(&object.p, d["T"], &err), 0);
    ASSERT_NE(object.p, nullptr);
    for (const Kmif_Item *it = d["T"]->itemList; it; it = it->next) {
        if (!it->indirectFlag) continue;
        const unsigned char *field = object.bytes() + it->hostOffset;
        void *array = &err;
        int32_t count = it->countedFlag ? -1 : 0;
        memcpy(&array, field + (it->countedFlag ? offsetof(Kmif_String, string) : 0), sizeof array);
        if (it->countedFlag) memcpy(&count, field, sizeof count);
        EXPECT_EQ(array, nullptr) << it->name;
        EXPECT_EQ(count, 0) << it->name;
    }
    // Only the fixed fields remain: no header announces any element.
    const Bytes bytes = mifenc::encode(object.p, d["T"]);
    Object empty(d["T"], mifenc::newObject(d["T"]));
    const Bytes zero = mifenc::encode(empty.p, d["T"]);
    ASSERT_EQ(bytes.size(), zero.size());
    refused(err, kmif_ObjectItemsFree(&object.p, nullptr, &err) == -1, "Missing design.");
    EXPECT_EQ(kmif_ObjectFree(&object.p, nullptr, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Couldn't free sub-objects. | Missing design.");
    EXPECT_NE(object.p, nullptr);
    // Missing places and designs, and copies without memory, are refused.
    Kmif_String str{}, from{4, const_cast<char *>("abc")};
    void *target = nullptr;
    const struct {
        std::function<int()> call;
        const char *function;
        int code;
    } refusals[] = {
        {[&] { return kmif_ObjectFree(nullptr, d["T"], &err); }, "kmif_ObjectFree", 4437},
        {[&] { return kmif_ObjectItemsFree(nullptr, d["T"], &err); }, "kmif_ObjectItemsFree", 4530},
        {[&] { return kmif_ObjectCopy(nullptr, &target, d["T"], &err); }, "kmif_ObjectCopy", 1},
        {[&] { return kmif_ObjectCopy(object.p, &target, nullptr, &err); }, "kmif_ObjectCopy", 2},
        {[&] { return kmif_KmifStringFromString(nullptr, "a", &err); }, "kmif_KmifStringFromString",
         1},
        {[&] { return kmif_KmifStringFromKmifString(nullptr, &str, &err); },
         "kmif_KmifStringFromKmifString", 1},
        {[&] { return kmif_KmifStringFromString(&str, "abc", &err); }, "kmif_KmifStringFromString",
         0},
        {[&] { return kmif_KmifStringFromKmifString(&str, &from, &err); },
         "kmif_KmifStringFromKmifString", 0},
    };
    for (const auto &r : refusals) {
        // Code 0 marks the calls made without memory.
        if (!r.code) kmsc_HeapFailAfter(0);
        const int status = r.call();
        kmsc_HeapFailAfter(-1);
        EXPECT_EQ(status, -1) << r.function << " " << r.code;
        // Without memory the report itself may be lost (code 0).
        EXPECT_TRUE(!r.code || ktest::hasCode(err.r, r.function, r.code)) << ktest::messages(err.r);
    }
    EXPECT_EQ(target, nullptr);
    EXPECT_EQ(str.string, nullptr);
}

TEST_F(MifObject, ItemValuesAndSelfContainedObjects) {
    Designs d(kRich);
    std::mt19937 rng(9);
    Object object(d["T"], mifenc::newObject(d["T"]));
    mifenc::fillRandom(object.p, d["T"], rng);
    Object other(d["T"], mifenc::newObject(d["T"]));
    mifenc::fillRandom(other.p, d["T"], rng);
    for (const Kmif_Item *item = d["T"]->itemList; item; item = item->next) {
        // Get one item's value from other, set it into object; the two then
        // agree on that item, and what get returned belongs to the caller.
        std::vector<unsigned char> value(static_cast<size_t>(item->hostSize) + 1, 0x5A);
        ktest::Err err;
        ASSERT_EQ(kmif_ObjectItemValueGet(other.p, d["T"], item->name, value.data(), &err),
                  value.data())
            << item->name;
        EXPECT_EQ(value.back(), 0x5A) << "wrote past the item";
        ASSERT_EQ(kmif_ObjectItemValueSet(object.p, d["T"], item->name, value.data(), &err),
                  object.p);
        // Free what get returned through a one-item design view.
        Kmif_Design view = *d["T"];
        Kmif_Item alone = *item;
        alone.next = alone.previous = nullptr;
        alone.hostOffset = 0;
        view.itemList = &alone;
        void *held = value.data();
        kmif_ObjectItemsFree(&held, &view, nullptr);
    }
    std::string why;
    EXPECT_TRUE(mifenc::equalObjects(object.p, other.p, d["T"], &why)) << why;

    char unused[16];
    ktest::Err err;
    EXPECT_EQ(kmif_ObjectItemValueGet(object.p, d["T"], "nothing", unused, &err), nullptr);
    EXPECT_FALSE(err);
    EXPECT_EQ(kmif_ObjectItemValueGet(object.p, d["T"], nullptr, unused, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_ObjectItemValueGet", 4299));

    // The object as a self-contained unit, its designs travelling with it.
    unsigned char *data = nullptr;
    char *dictionary = nullptr, *name = nullptr;
    err.reset();
    const int32_t size =
        kmif_MIFableObjectConvertToMIF(object.p, d["T"], &data, &dictionary, &name, &err);
    ASSERT_GT(size, 0) << ktest::messages(err.r);
    EXPECT_STREQ(name, "T");
    EXPECT_EQ(Bytes(data, data + size), mifenc::encode(object.p, d["T"]));
    // The designs T uses travel with it (the way back is in the property test).
    EXPECT_TRUE(ktest::contains(dictionary, "{1:cq,0:psr,2:*Sw,}In,"));
    void *back = nullptr;
    Kmif_Design *design = nullptr;
    // Wrong names, missing strings and short data are reported.
    EXPECT_EQ(kmif_MIFableObjectConvertFromMIF(data, dictionary, "Nope", &back, &design, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Nope:  Missing design");
    EXPECT_EQ(design, nullptr);
    EXPECT_EQ(kmif_MIFableObjectConvertFromMIF(data, nullptr, "T", &back, &design, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Missing dictionary string");
    err.reset();
    EXPECT_EQ(
        kmif_MIFableObjectConvertFromMIFEx(data, size - 1, dictionary, "T", &back, &design, &err),
        -1);
    EXPECT_EQ(back, nullptr);
    EXPECT_EQ(design, nullptr);
    auto fromMIF = [&](const unsigned char *in, const char *dict, const char *n, void **out) {
        return kmif_MIFableObjectConvertFromMIF(in, dict, n, out, &design, &err);
    };
    const char *from = "kmif_MIFableObjectConvertFromMIF", *to = "kmif_MIFableObjectConvertToMIF";
    const struct {
        std::function<int32_t()> call;
        const char *function;
        int code;
    } refusals[] = {
        {[&] { return fromMIF(data, "{1:l", "T", &back); }, from, 3},
        {[&] { return fromMIF(nullptr, dictionary, "T", &back); }, from, 7},
        {[&] { return fromMIF(data, dictionary, nullptr, &back); }, from, 1},
        {[&] { return fromMIF(data, dictionary, "T", nullptr); }, from, 1},
        {[&] {
             return kmif_MIFableObjectConvertToMIF(object.p, d["T"], nullptr, &dictionary, &name,
                                                   &err);
         },
         to, 1},
    };
    for (const auto &r : refusals) {
        EXPECT_EQ(r.call(), -1) << r.function << " " << r.code;
        EXPECT_TRUE(ktest::hasCode(err.r, r.function, r.code)) << ktest::messages(err.r);
    }
    kmsc_HeapFree(data);
    kmsc_HeapFree(dictionary);
    kmsc_HeapFree(name);
    EXPECT_EQ(kmif_MIFableObjectConvertToMIF(nullptr, d["T"], &data, &dictionary, &name, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_MIFableObjectConvertToMIF", 2));
    EXPECT_TRUE(data == nullptr && dictionary == nullptr && name == nullptr);
}

TEST_F(MifObject, DecodeAndCopySurviveEveryAllocationFailure) {
    Designs d(kRich);
    std::mt19937 rng(21);
    Object source(d["T"], mifenc::newObject(d["T"]));
    mifenc::fillRandom(source.p, d["T"], rng, 5);
    const Bytes bytes = mifenc::encode(source.p, d["T"]);

    void *decoded = nullptr;
    const int decodeRuns = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            const int32_t size = kmif_ConvertToHostEx(
                nullptr, bytes.data(), static_cast<int64_t>(bytes.size()), d["T"], &decoded, err);
            EXPECT_TRUE(size > 0 || (size == -1 && !decoded)) << size;
            return size > 0;
        },
        [&] { kmif_ObjectFree(&decoded, d["T"], nullptr); });
    EXPECT_GT(decodeRuns, 3);

    void *copy = nullptr;
    const int copyRuns = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            const int status = kmif_ObjectCopy(source.p, &copy, d["T"], err);
            EXPECT_TRUE((status == 0 && copy) || (status == -1 && !copy)) << status;
            return status == 0;
        },
        [&] { kmif_ObjectFree(&copy, d["T"], nullptr); });
    EXPECT_GT(copyRuns, 3);

    // Decoding into an existing object that must grow its arrays: a failure
    // leaves an object that can be decoded into again and freed.
    Object target(d["T"], mifenc::newObject(d["T"]));
    ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            return kmif_ConvertToHostEx(nullptr, bytes.data(), static_cast<int64_t>(bytes.size()),
                                        d["T"], &target.p, err) > 0;
        },
        [&] { kmif_ObjectItemsFree(&target.p, d["T"], nullptr); });

    unsigned char *data = nullptr;
    char *dictionary = nullptr, *name = nullptr;
    ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            const int32_t size =
                kmif_MIFableObjectConvertToMIF(source.p, d["T"], &data, &dictionary, &name, err);
            EXPECT_TRUE(size > 0 || size == -1) << size;
            return size > 0;
        },
        [&] {
            kmsc_HeapFreeEx(reinterpret_cast<void **>(&data));
            kmsc_HeapFreeEx(reinterpret_cast<void **>(&dictionary));
            kmsc_HeapFreeEx(reinterpret_cast<void **>(&name));
        });
}

}  // namespace
