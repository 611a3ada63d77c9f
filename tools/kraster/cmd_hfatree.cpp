// HFA entry trees: `kraster ls` lists the entries of a file (or of one
// subtree) with the values of their objects, `kraster dict` prints a file's
// dictionary, and a demo section builds, edits and lists a small file.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool.hpp"

namespace {

int report(Kerr_ErrorReport *err) {
    fflush(stdout);
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return 1;
}

// Splits "FILE" or "FILE(:node:path)" into the file name and the node path.
bool splitFileNode(const std::string &arg, std::string &file, std::string &node,
                   Kerr_ErrorReport **err) {
    Kfnp_FileNodeList *list = kfnp_FileNodeListParse(arg.c_str(), err);
    if (!list) return false;
    file = list->items[0].fileName;
    node = list->items[0].nodePathCount > 0 ? list->items[0].nodePaths[0] : "";
    kfnp_FreeNodeList(list);
    return true;
}

// Prints the descriptor tables at or below node: each table's row count,
// its columns with their type and rows (from the stored column records), and
// its bin function.
void listTables(Khfa_File *f, const std::string &node) {
    const std::string start = node.empty() ? ":" : node;
    Kerr_ErrorReport *err = nullptr;
    std::vector<std::string> tables;
    const Khfa_Entry *self = khfa_EntryPeek(f, KHFA_SEEK_PATH, start.c_str(), nullptr);
    if (self && std::strcmp(self->type, "Kdsc_Table") == 0) tables.push_back(start);
    if (Kstr_StringList *below = khfa_ObjectList(f, start.c_str(), nullptr, "Kdsc_Table", &err)) {
        for (int32_t i = 0; i < below->count; ++i) tables.emplace_back(below->strings[i]);
        kstr_StringListFree(below);
    }
    kerr_DeleteErrorReport(err);
    const Kmif_Design *columnDesign = kdsc_DesignGet("Kdsc_Column", nullptr);
    struct ColumnRecord {
        int32_t numRows;
        uint32_t columnDataPtr;
        int32_t dataType;
        int32_t maxNumChars;
    };
    for (const std::string &path : tables) {
        err = nullptr;
        Kdsc_Table *t = kdsc_TableOpen(f, path.c_str(), &err);
        if (!t) {
            report(err);
            continue;
        }
        int32_t rows = 0;
        kdsc_TableRowCountGet(t, &rows, nullptr);
        printf("Descriptor table %s: %d rows\n", path.c_str(), rows);
        Kstr_StringList *names = kdsc_TableListColumns(t, nullptr);
        for (int32_t i = 0; names && i < names->count; ++i) {
            ColumnRecord rec{-1, 0, -1, 0};
            void *object = &rec;
            const std::string col = path + ":" + names->strings[i];
            if (!columnDesign ||
                khfa_ObjectRead(f, col.c_str(), nullptr, 0, &object, columnDesign, nullptr) != 0)
                continue;
            const char *type = kdsc_ColumnTypeName(rec.dataType);
            if (rec.dataType == KDSC_COLUMN_STRING)
                printf("  %s: string of %d characters, %d rows\n", names->strings[i],
                       rec.maxNumChars, rec.numRows);
            else
                printf("  %s: %s, %d rows\n", names->strings[i], type ? type : "unknown",
                       rec.numRows);
        }
        kstr_StringListFree(names);
        fflush(stdout);
        if (const Kdsc_BinFunction *bf = kdsc_TableBinFunctionGet(t))
            kdsc_BinFunctionPrint(bf, stdout, nullptr);
        kdsc_TableClose(t, nullptr);
    }
}

int listCommand(const std::vector<std::string> &args) {
    if (args.size() != 1) {
        fprintf(stderr, "usage: kraster ls FILE or 'FILE(:node:path)'\n");
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    if (!kint_InitToolkit(&err)) return report(err);
    std::string file, node;
    if (!splitFileNode(args[0], file, node, &err)) return report(err);
    Khfa_File *f = khfa_FileOpen(file.c_str(), "r", nullptr, &err);
    if (!f) return report(err);
    const int rc = khfa_ListFile(f, node.empty() ? nullptr : node.c_str(), stdout, &err);
    if (rc != 0) report(err);
    if (rc == 0) listTables(f, node);
    khfa_FileClose(f, nullptr);
    return rc == 0 ? 0 : 1;
}

int printDictionary(Khfa_File *f, Kerr_ErrorReport **err) {
    fflush(stdout);
    Kfio_Fd *out = kfio_Open("/dev/stdout", "a", err);
    if (!out) return -1;
    const int rc = kmif_FprintfDictionary(out, khfa_FileDictionary(f), err);
    kfio_Close(out, nullptr);
    return rc;
}

int dictCommand(const std::vector<std::string> &args) {
    if (args.size() != 1) {
        fprintf(stderr, "usage: kraster dict FILE\n");
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    if (!kint_InitToolkit(&err)) return report(err);
    Khfa_File *f = khfa_FileOpen(args[0].c_str(), "r", nullptr, &err);
    if (!f) return report(err);
    const int rc = printDictionary(f, &err);
    if (rc != 0) report(err);
    khfa_FileClose(f, nullptr);
    return rc == 0 ? 0 : 1;
}

// Host forms of the demo's designs.
struct Band {
    int32_t labelCount;
    char *label;
    int32_t valueCount;
    double *values;
};
struct Layer {
    int32_t id;
    Band band;
};
// A BaseData matrix with a caption.
struct Matrix {
    int32_t captionCount;
    char *caption;
    Kgda_BaseData matrix;
};
struct Note {
    int32_t count;
    char *text;
};

int demoTree() {
    Kerr_ErrorReport *err = nullptr;
    if (!kint_InitToolkit(&err)) return report(err);
    char *tempName = kfio_TempNameInTmpdir("kraster-tree.", &err);
    if (!tempName) return report(err);
    const std::string name = std::string(tempName) + ".hfa";
    kmsc_HeapFree(tempName);
    Khfa_File *file = khfa_FileCreate(name.c_str(), nullptr, &err);
    if (!file) return report(err);
    auto fail = [&](Kerr_ErrorReport *e) {
        report(e);
        khfa_FileClose(file, nullptr);
        remove(name.c_str());
        return 1;
    };

    // The demo's own designs go into the file's dictionary.
    Kmif_Dictionary *dict = khfa_FileDictionary(file);
    Kmif_Design *note = kmif_DesignCreate(
        dict, "Demo_Note", KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER, "text", 0, &err);
    Kmif_Design *band =
        note ? kmif_DesignCreate(dict, "Demo_Band", KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER,
                                 "label", KMIF_TYPE_F64 | KMIF_FLAG_COUNTED_POINTER, "values", 0,
                                 &err)
             : nullptr;
    Kmif_Design *layer = band ? kmif_DesignCreate(dict, "Demo_Layer", KMIF_TYPE_S32, "id",
                                                  KMIF_TYPE_NESTED, "band", band, 0, &err)
                              : nullptr;
    Kmif_Design *matrix =
        layer ? kmif_DesignCreate(dict, "Demo_Matrix", KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER,
                                  "caption", KMIF_TYPE_BASEDATA, "matrix", 0, &err)
              : nullptr;
    if (!matrix) return fail(err);
    if (layer->hostSize != static_cast<int32_t>(sizeof(Layer)) ||
        matrix->hostSize != static_cast<int32_t>(sizeof(Matrix))) {
        fprintf(stderr, "a demo design does not match its C struct\n");
        return fail(nullptr);
    }

    char title[] = "a small HFA tree";
    Note n{static_cast<int32_t>(sizeof title), title};
    char red[] = "red";
    double values[] = {0.25, 0.5, 0.75};
    Layer l{};
    l.id = 1;
    l.band = Band{4, red, 3, values};
    Kgda_BaseData *m = kgda_BaseDataCreate(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, &err);
    if (!m) return fail(err);
    const double cells[] = {1, 2, 3, 4};  // column by column
    std::memcpy(m->data, cells, sizeof cells);
    char caption[] = "2 x 2, column by column";
    Matrix mx{static_cast<int32_t>(sizeof caption), caption, *m};
    int rc =
        khfa_ObjectWrite(file, ":", "title", "Demo_Note", KHFA_WRITE_LAST_CHILD, &n, note, &err);
    if (rc == 0)
        rc = khfa_ObjectWrite(file, ":", "layer1", "Demo_Layer", KHFA_WRITE_LAST_CHILD, &l, layer,
                              &err);
    if (rc == 0)
        rc = khfa_ObjectWrite(file, ":layer1", "band", "Demo_Band", KHFA_WRITE_LAST_CHILD, &l.band,
                              band, &err);
    if (rc == 0)
        rc = khfa_ObjectWrite(file, ":layer1", "matrix", "Demo_Matrix", KHFA_WRITE_LAST_CHILD, &mx,
                              matrix, &err);
    l.id = 2;
    if (rc == 0)
        rc = khfa_ObjectWrite(file, ":", "layer2", "Demo_Layer", KHFA_WRITE_LAST_CHILD, &l, layer,
                              &err);
    kgda_BaseDataDelete(m, nullptr);
    if (rc != 0) return fail(err);
    printf("wrote :title, :layer1, :layer1:band, :layer1:matrix and :layer2 to %s\n", name.c_str());

    // Read back through the file's dictionary.
    void *back = nullptr;
    if (khfa_ObjectRead(file, ":layer1", nullptr, KHFA_SEEK_PATH, &back, layer, &err) != 0)
        return fail(err);
    const Layer *got = static_cast<const Layer *>(back);
    printf("read :layer1: id %d, band %s with %d values\n", got->id, got->band.label,
           got->band.valueCount);
    kmif_ObjectFree(&back, layer, nullptr);
    if (khfa_ObjectRead(file, ":layer1:matrix", nullptr, KHFA_SEEK_PATH, &back, matrix, &err) != 0)
        return fail(err);
    const Matrix *gm = static_cast<const Matrix *>(back);
    printf("read :layer1:matrix (%s), a %d x %d BaseData matrix:\n", gm->caption,
           gm->matrix.numrows, gm->matrix.numcolumns);
    fflush(stdout);
    kgda_BaseDataPrint(&gm->matrix, nullptr);
    kmif_ObjectFree(&back, matrix, nullptr);

    // Move the band below layer2, copy the matrix there, then delete layer1
    // with what is left below it.
    if (khfa_EntryMove(file, ":layer1:band", ":layer2:band", &err) != 0) return fail(err);
    if (khfa_ObjectCopy(file, ":layer1:matrix", file, ":layer2", "matrix", KHFA_WRITE_LAST_CHILD,
                        nullptr, &err) != 0)
        return fail(err);
    if (!khfa_EntrySeek(file, KHFA_SEEK_PATH, ":layer1", &err)) return fail(err);
    if (khfa_EntryDelete(file, &err) != 0) return fail(err);
    char *current = khfa_CurrentEntryPath(file, &err);
    printf(
        "moved :layer1:band to :layer2:band, copied :layer1:matrix to :layer2:matrix,\n"
        "deleted :layer1; current entry %s\n",
        current ? current : "?");
    kmsc_HeapFree(current);
    printf("listing:\n");
    if (khfa_ListFile(file, nullptr, stdout, &err) != 0) return fail(err);
    khfa_FileClose(file, nullptr);
    remove(name.c_str());
    return 0;
}

}  // namespace

tool::Registrar lsCommand("ls", "FILE | 'FILE(:node:path)'",
                          "list the entries of an HFA file with their objects", listCommand);
tool::Registrar dictCommandReg("dict", "FILE", "print the dictionary of an HFA file", dictCommand);
tool::DemoRegistrar treeSection(85, "HFA entry tree", demoTree);
