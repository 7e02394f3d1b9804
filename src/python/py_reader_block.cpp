// BlockReader: local block (sector) files, as one flat row per member code or one grouped row per
// block. Both shapes come from the same walk of the file, so they always agree.

#include "protocol/block_file.hpp"
#include "python/py_classes.hpp"
#include "python/py_reader_common.hpp"

namespace quotix::py {
namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

Ref flat_row(const BlockRecord& r) {
    static KeySet keys{"blockname", "block_type", "code_index", "code"};
    DictBuilder d(keys);
    d.add(r.blockname).add(r.block_type).add(r.code_index).add(r.code);
    return d.finish();
}

Ref group_row(const BlockGroup& g) {
    static KeySet keys{"blockname", "block_type", "stock_count", "code_list"};
    DictBuilder d(keys);
    d.add(g.blockname).add(g.block_type).add(g.stock_count).add(g.code_list);
    return d.finish();
}

Ref flat_rows(const std::vector<BlockRecord>& rows) { return list_of(rows, flat_row); }
Ref group_rows(const std::vector<BlockGroup>& groups) { return list_of(groups, group_row); }

PyObject* parse_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reader_from_data("parse_data", args, nargs, kwnames, parse_block, flat_rows);
}

PyObject* parse_data_group(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reader_from_data("parse_data_group", args, nargs, kwnames, parse_block_groups, group_rows);
}

PyObject* parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reader_from_file("parse_file", args, nargs, kwnames, parse_block, flat_rows);
}

PyMethodDef kMethods[] = {
    {"parse_data", method<parse_data>(), kFast, "parse_data($self, data)\n--\n\n解析板块数据 (扁平模式: 每只股票一行)"},
    {"parse_data_group", method<parse_data_group>(), kFast,
     "parse_data_group($self, data)\n--\n\n解析板块数据 (分组模式: 每个板块一行)"},
    {"parse_file", method<parse_file>(), kFast, "parse_file($self, filename)\n--\n\n从文件读取并解析"},
    {nullptr, nullptr, 0, nullptr},
};

struct PyBlockReader {
    PyObject_HEAD
};
PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("BlockReader()\n--\n\n板块文件 Reader")},
    {Py_tp_new, new_slot<new_reader_without_arguments>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};
PyType_Spec kSpec = {
    "quotix._internal.BlockReader", sizeof(PyBlockReader), 0, Py_TPFLAGS_DEFAULT, kSlots,
};
PyObject* g_type = nullptr;

}  // namespace

PyObject* block_reader_class(PyObject* module) { return cached_type(g_type, module, &kSpec); }

}  // namespace quotix::py
