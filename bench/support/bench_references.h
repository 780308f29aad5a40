// Lua 5.4 and Python 3 embedded in a benchmark's process: the references that script code doing the
// same work is measured against, in the same run. Each is compiled in only when CMake found its
// development package (KRV_BENCH_LUA: liblua5.4-dev, KRV_BENCH_PYTHON: python3-dev); a benchmark
// guards its reference rows with the same macro.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#ifdef KRV_BENCH_PYTHON
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif
#ifdef KRV_BENCH_LUA
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
#endif

#ifdef KRV_BENCH_LUA
// A Lua state with the standard libraries, for the object's life.
class krv_bench_lua {
 public:
  krv_bench_lua() : state_(luaL_newstate()) { luaL_openlibs(state_); }
  ~krv_bench_lua() { lua_close(state_); }
  krv_bench_lua(const krv_bench_lua&) = delete;
  krv_bench_lua& operator=(const krv_bench_lua&) = delete;

  // Compiles and runs `chunk` (compiling is part of every run, as for a chunk a host hands over) and
  // gives the integer it returns; nothing when it fails to compile or raises.
  std::optional<int64_t> run(const std::string& chunk) {
    if (luaL_loadstring(state_, chunk.c_str()) != LUA_OK || lua_pcall(state_, 0, 1, 0) != LUA_OK) {
      lua_settop(state_, 0);
      return std::nullopt;
    }
    const int64_t value = lua_tointeger(state_, -1);
    lua_pop(state_, 1);
    return value;
  }

 private:
  lua_State* state_;
};
#endif

#ifdef KRV_BENCH_PYTHON
// One Python function, defined from source in a namespace of its own; the interpreter starts with the
// first object and stays for the process.
class krv_bench_python {
 public:
  // `source` defines `function` (taking one integer).
  krv_bench_python(const char* source, const char* function) {
    Py_Initialize();
    globals_ = PyDict_New();
    PyDict_SetItemString(globals_, "__builtins__", PyEval_GetBuiltins());
    Py_XDECREF(PyRun_String(source, Py_file_input, globals_, globals_));
    function_ = PyDict_GetItemString(globals_, function);  // borrowed: globals_ keeps it
  }
  ~krv_bench_python() { Py_DECREF(globals_); }
  krv_bench_python(const krv_bench_python&) = delete;
  krv_bench_python& operator=(const krv_bench_python&) = delete;

  // Sets the global `name` of the function's namespace to `text` (UTF-8) as a str.
  void set_text(const char* name, const std::string& text) {
    PyObject* value = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    PyDict_SetItemString(globals_, name, value);
    Py_XDECREF(value);
  }

  // function(argument) as an integer; nothing when the function is missing or raises.
  std::optional<int64_t> call(int64_t argument) {
    if (function_ == nullptr) return std::nullopt;
    PyObject* args = Py_BuildValue("(L)", static_cast<long long>(argument));
    PyObject* result = PyObject_CallObject(function_, args);
    Py_DECREF(args);
    if (result == nullptr) {
      PyErr_Clear();
      return std::nullopt;
    }
    const int64_t value = PyLong_AsLongLong(result);
    Py_DECREF(result);
    return value;
  }

 private:
  PyObject* globals_ = nullptr;
  PyObject* function_ = nullptr;
};
#endif
