// The file operations that plugins implement (the base raises
// NotImplementedError naming the instance's module) and `checkfile`, the
// retrying existence and stability check built on the plugin's `stat`.
#include "bargeon.hpp"

#include <string>

namespace bargeon {

namespace {

// ---- the seven operations -----------------------------------------------

struct Operation {
    Params params;
    const char *message;
};

const Operation COPYFILE = {{"copyfile", {"source", "destination", "timeout_seconds"}, 3, true, {}, true},
                            "The bargeon module {} does not implement copyfile."};
const Operation DIR = {{"dir", {"target", "timeout_seconds"}, 2, true, {}, true},
                       "The bargeon module {} does not implement dir."};
const Operation STAT = {{"stat", {"target", "timeout_seconds"}, 2, true, {}, true},
                        "The bargeon module {} does not implement stat."};
const Operation CHMOD = {{"chmod", {"target", "mode", "timeout_seconds"}, 3, true, {}, true},
                         "The bargeon module {} does not implement chmod."};
const Operation DELETEFILE = {{"deletefile", {"target", "timeout_seconds"}, 2, true, {}, true},
                              "The bargeon module {} does not implement deletefile."};
const Operation RENAMEFILE = {
    {"renamefile", {"source", "destination", "timeout_seconds"}, 3, true, {}, true},
    "The bargeon module {} does not implement renamefile."};
const Operation GETSPACE = {{"getspace", {"target", "timeout_seconds"}, 2, true, {}, true},
                            "The bargeon module {} does not implement getspace."};

template <const Operation &op>
PyObject *not_implemented(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(op.params, args, kwargs, b)) return nullptr;
    Ref module = quarn::getattr(self, n.dunder_module);
    Ref message = module ? format_message(op.message, {module.get()}) : Ref();
    if (message) PyErr_SetObject(PyExc_NotImplementedError, message.get());
    return nullptr;
}

// ---- checkfile ------------------------------------------------------------

const Params CHECKFILE_PARAMS = {
    "checkfile",
    {"target", "max_tries", "delay_seconds", "check_stability", "timeout_seconds"},
    1,
    true,
    {},
    true};

struct CheckfileArgs {
    PyObject *target, *max_tries, *delay_seconds, *check_stability, *timeout_seconds;
    Ref stat_args;  // (target, timeout_seconds, *args)
    PyObject *kwargs;
};

Ref stat_arguments(PyObject *target, PyObject *timeout_seconds, PyObject *extra) {
    Ref head = Ref::steal(PyTuple_Pack(2, target, timeout_seconds));
    if (!head) return head;
    return Ref::steal(PySequence_Concat(head.get(), extra));
}

// One try: self.stat(target, timeout_seconds, *args, **kwargs).  Returns 1
// with `result` set, 0 for a failure derived from Exception (logged), -1
// when the check must end: NotImplementedError, MemoryError (no retry can
// mend it, and "not stable" would be untrue), an error not derived from
// Exception, or an error while logging.
int try_stat(PyObject *self, const CheckfileArgs &a, Ref &result, Ref &error) {
    Ref stat = quarn::getattr(self, n.stat);
    Ref kwargs = stat ? Ref::steal(PyDict_Copy(a.kwargs)) : Ref();
    result = kwargs ? Ref::steal(PyObject_Call(stat.get(), a.stat_args.get(), kwargs.get())) : Ref();
    if (result) return 1;
    if (PyErr_ExceptionMatches(PyExc_NotImplementedError) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
        !PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    quarn::SavedError handled;
    Ref exc = handled.value();
    error = exc.dup();
    if (log_warning(redacted(format_message("File stat error : {}", {exc.get()})))) return 0;
    quarn::chain_pending(std::move(exc));
    return -1;
}

// bool(prev) and result.st_size == prev.st_size: 1, 0, or -1 on error.
int same_length(PyObject *result, PyObject *prev) {
    int seen = truth(prev);
    if (seen <= 0) return seen;
    Ref size = quarn::getattr(result, n.st_size);
    Ref prev_size = size ? quarn::getattr(prev, n.st_size) : Ref();
    Ref equal = prev_size ? Ref::steal(PyObject_RichCompare(size.get(), prev_size.get(), Py_EQ)) : Ref();
    return equal ? truth(equal.get()) : -1;
}

bool sleep_between_tries(PyObject *delay_seconds) {
    Ref time = module_global(n.time);
    Ref sleep = time ? quarn::getattr(time.get(), n.sleep) : Ref();
    return sleep && quarn::call(sleep.get(), delay_seconds);
}

struct CheckState {
    Ref result = Ref::borrow(Py_None);       // what the latest stat returned
    Ref prev_result = Ref::borrow(Py_None);  // the previous success of the run
    long equal_length_tries = 0;             // length of the run of equal st_size
    Ref last_error;                          // the error of the latest try, if it failed with one
};

// Books a successful try.  Returns 1 when the check may stop here (no
// stability check wanted), 0 to go on, -1 on error.
int record_success(const CheckfileArgs &a, CheckState &s, Ref result) {
    s.result = std::move(result);
    int stability = truth(a.check_stability);
    if (stability <= 0) return stability < 0 ? -1 : 1;
    int same = same_length(s.result.get(), s.prev_result.get());
    if (same < 0) return -1;
    s.equal_length_tries = same ? s.equal_length_tries + 1 : 1;
    s.prev_result = s.result.dup();
    return 0;
}

// The tries, with a sleep after each one that does not end the check;
// false with an error set when an error leaves the check early.
bool run_tries(PyObject *self, const CheckfileArgs &a, CheckState &s) {
    Ref range = quarn::call(reinterpret_cast<PyObject *>(&PyRange_Type), a.max_tries);
    Ref tries = range ? Ref::steal(PyObject_GetIter(range.get())) : Ref();
    if (!tries) return false;
    while (Ref counter = Ref::steal(PyIter_Next(tries.get()))) {
        Ref result;
        s.last_error.reset();
        int outcome = try_stat(self, a, result, s.last_error);
        if (outcome < 0) return false;
        if (outcome > 0) {
            int stop = record_success(a, s, std::move(result));
            if (stop < 0) return false;
            if (stop > 0) return true;
        } else {
            s.result = Ref::borrow(Py_None);
            s.prev_result = Ref::borrow(Py_None);
        }
        if (!sleep_between_tries(a.delay_seconds)) return false;
    }
    return !PyErr_Occurred();
}

// BargeonFileCheckError(message), with `cause` (if any) as its __cause__:
// the error of the last try says why the file was not seen.
PyObject *raise_for_target(const char *tmpl, PyObject *target, const Ref &cause = Ref()) {
    Ref exc = new_exception(n.FileCheckError, redacted(format_message(tmpl, {target})));
    if (!exc) return nullptr;
    if (cause) quarn::raise_from(std::move(exc), cause.dup());
    else PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

// The arguments that go to range() and to time.sleep() (and on to every
// stat) are checked before the first try, so that a wrong one is named.
bool check_argument(const char *name, PyObject *value, bool whole, bool none_allowed) {
    bool ok = whole ? PyIndex_Check(value)
                    : (PyNumber_Check(value) && !PyUnicode_Check(value) && !PyBytes_Check(value)) ||
                          (none_allowed && value == Py_None);
    if (!ok)
        PyErr_Format(PyExc_TypeError, "checkfile() argument '%s' must be %s, not '%.200s'", name,
                     whole ? "a whole number of tries" : "a number of seconds", Py_TYPE(value)->tp_name);
    return ok;
}

PyObject *checkfile(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(CHECKFILE_PARAMS, args, kwargs, b)) return nullptr;
    CheckfileArgs a;
    a.target = b.values[0].get();
    a.max_tries = b.value(1, g.max_tries_default);
    a.delay_seconds = b.value(2, g.delay_seconds_default);
    a.check_stability = b.value(3, Py_False);
    a.timeout_seconds = b.value(4, g.timeout_seconds_default);
    a.stat_args = stat_arguments(a.target, a.timeout_seconds, b.args.get());
    a.kwargs = b.kwargs.get();
    if (!a.stat_args || !check_argument("max_tries", a.max_tries, true, false) ||
        !check_argument("delay_seconds", a.delay_seconds, false, false) ||
        !check_argument("timeout_seconds", a.timeout_seconds, false, true))
        return nullptr;
    CheckState s;
    if (!run_tries(self, a, s)) return nullptr;
    int seen = truth(s.result.get());
    if (seen < 0) return nullptr;
    if (!seen)
        return raise_for_target("Failure to check existence and length of file {}.", a.target, s.last_error);
    int stability = truth(a.check_stability);
    if (stability < 0) return nullptr;
    if (stability && s.equal_length_tries < 2)
        return raise_for_target("The length of file {} is not stable.", a.target);
    Py_RETURN_NONE;
}

// The text signature carries the defaults fixed at class creation.
std::string checkfile_doc;

}  // namespace

bool prepare_checkfile_signature() {
    Ref tries = Ref::steal(PyObject_Repr(g.max_tries_default));
    Ref delay = tries ? Ref::steal(PyObject_Repr(g.delay_seconds_default)) : Ref();
    Ref timeout = delay ? Ref::steal(PyObject_Repr(g.timeout_seconds_default)) : Ref();
    if (!timeout) return false;
    checkfile_doc = std::string("checkfile(self, target, max_tries=") + PyUnicode_AsUTF8(tries.get()) +
                    ", delay_seconds=" + PyUnicode_AsUTF8(delay.get()) +
                    ", check_stability=False, timeout_seconds=" + PyUnicode_AsUTF8(timeout.get()) +
                    ", *args, **kwargs)\n--\n\n"
                    " Check for file existence and (optionally) stability.\n"
                    "\n"
                    "        Calls `stat` up to `max_tries` times, sleeping `delay_seconds`\n"
                    "        after each try that does not end the check.\n"
                    "\n"
                    "        Parameters\n"
                    "        ----------\n"
                    "        target : `str`\n"
                    "            URL of the file to check.\n"
                    "        max_tries : `int`\n"
                    "            Most `stat` calls made.\n"
                    "        delay_seconds : `int`\n"
                    "            Seconds to sleep between tries.\n"
                    "        check_stability : `bool`\n"
                    "            When true, all tries are made and the file is required to\n"
                    "            keep the same length over at least the last two tries.\n"
                    "        timeout_seconds : `int`\n"
                    "            Passed to every `stat` call.\n"
                    "\n"
                    "        Returns\n"
                    "        -------\n"
                    "        None\n"
                    "\n"
                    "        Raises\n"
                    "        ------\n"
                    "        `Exception` when the file was not found, or its length was not\n"
                    "        stable; `NotImplementedError` when `stat` is not implemented.\n"
                    "        ";
    checkfile_def.ml_doc = checkfile_doc.c_str();
    return true;
}

PyMethodDef checkfile_def = {"checkfile", as_cfunction(with_self<checkfile>), METH_VARARGS | METH_KEYWORDS,
                             nullptr};

#define OPERATION_DOC(signature, summary, body) signature "\n--\n\n" summary "\n\n" body

PyMethodDef copyfile_def = {
    "copyfile", as_cfunction(with_self<not_implemented<COPYFILE>>), METH_VARARGS | METH_KEYWORDS,
    OPERATION_DOC("copyfile(self, source, destination, timeout_seconds, *args, **kwargs)",
                  " Copy a single file.",
                  "        Copies one file from local to remote or from remote to local.\n"
                  "        A remote-to-remote copy is not supported: make two calls.\n"
                  "\n"
                  "        Parameters\n"
                  "        ----------\n"
                  "        source : `str`\n"
                  "            URL of the file to copy.\n"
                  "        destination : `str`\n"
                  "            URL of the copy.\n"
                  "        timeout_seconds : `int`\n"
                  "            Longest time the copy may take.\n"
                  "\n"
                  "        Raises\n"
                  "        ------\n"
                  "        `Exception` for a remote-to-remote copy.\n"
                  "        ")};

PyMethodDef dir_def = {
    "dir", as_cfunction(with_self<not_implemented<DIR>>), METH_VARARGS | METH_KEYWORDS,
    OPERATION_DOC("dir(self, target, timeout_seconds, *args, **kwargs)",
                  " Retrieve filenames contained in a directory.",
                  "        Does not recurse into subdirectories; directory names are left\n"
                  "        out.\n"
                  "\n"
                  "        Parameters\n"
                  "        ----------\n"
                  "        target : `str`\n"
                  "            URL of the directory.\n"
                  "        timeout_seconds : `int`\n"
                  "            Seconds to wait before aborting.\n"
                  "\n"
                  "        Returns\n"
                  "        -------\n"
                  "        `list` of file URLs.\n"
                  "        ")};

PyMethodDef stat_def = {
    "stat", as_cfunction(with_self<not_implemented<STAT>>), METH_VARARGS | METH_KEYWORDS,
    OPERATION_DOC("stat(self, target, timeout_seconds, *args, **kwargs)",
                  " Retrieve file details such as length and permissions.",
                  "        Parameters\n"
                  "        ----------\n"
                  "        target : `str`\n"
                  "            URL of the file.\n"
                  "        timeout_seconds : `int`\n"
                  "            Seconds to wait before aborting.\n"
                  "\n"
                  "        Returns\n"
                  "        -------\n"
                  "        `os.stat_result`\n"
                  "\n"
                  "        Raises\n"
                  "        ------\n"
                  "        `Exception` when the timeout is exceeded or the file is not found.\n"
                  "        ")};

PyMethodDef chmod_def = {
    "chmod", as_cfunction(with_self<not_implemented<CHMOD>>), METH_VARARGS | METH_KEYWORDS,
    OPERATION_DOC("chmod(self, target, mode, timeout_seconds, *args, **kwargs)",
                  " Change file permissions",
                  "        Parameters\n"
                  "        ----------\n"
                  "        target : `str`\n"
                  "            URL of the file.\n"
                  "        mode : `int`\n"
                  "            Permissions in the format of `os.chmod`.\n"
                  "        timeout_seconds : `int`\n"
                  "            Longest time the operation may take.\n"
                  "\n"
                  "        Returns\n"
                  "        -------\n"
                  "        `None`\n"
                  "        ")};

PyMethodDef deletefile_def = {
    "deletefile", as_cfunction(with_self<not_implemented<DELETEFILE>>), METH_VARARGS | METH_KEYWORDS,
    OPERATION_DOC("deletefile(self, target, timeout_seconds, *args, **kwargs)", " Delete a file",
                  "        Parameters\n"
                  "        ----------\n"
                  "        target : `str`\n"
                  "            URL of the file.\n"
                  "        timeout_seconds : `int`\n"
                  "            Longest time the operation may take.\n"
                  "        ")};

PyMethodDef renamefile_def = {
    "renamefile", as_cfunction(with_self<not_implemented<RENAMEFILE>>), METH_VARARGS | METH_KEYWORDS,
    OPERATION_DOC("renamefile(self, source, destination, timeout_seconds, *args, **kwargs)",
                  " Rename a file",
                  "        Parameters\n"
                  "        ----------\n"
                  "        source : `str`\n"
                  "            URL of the file to rename.\n"
                  "        destination : `str`\n"
                  "            Its new name.\n"
                  "        timeout_seconds : `int`\n"
                  "            Longest time the operation may take.\n"
                  "        ")};

PyMethodDef getspace_def = {
    "getspace", as_cfunction(with_self<not_implemented<GETSPACE>>), METH_VARARGS | METH_KEYWORDS,
    "getspace(self, target, timeout_seconds, *args, **kwargs)\n--\n\n"
    "\n"
    "        get the available disk space from the file server, in bytes.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        target : `str`\n"
    "            URL of the directory whose file system is queried.\n"
    "        timeout_seconds : `int`\n"
    "            Longest time the operation may take.\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        `int`: space available, in bytes.\n"
    "        "};

}  // namespace bargeon
