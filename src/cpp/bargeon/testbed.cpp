// Lookups in the testbed: the server block of a server (by block name,
// `server` name or address), the host to connect to and the credentials.
// A missing server or testbed is logged and answered with a fall-back value.
#include "bargeon.hpp"

namespace bargeon {

namespace {

const Params SERVER_BLOCK_PARAMS = {"get_server_block", {"server_name_or_ip"}, 1, false, {}, false};
const Params AUTH_PARAMS = {"get_auth", {"server_name_or_ip"}, 1, false, {}, false};
const Params HOSTNAME_PARAMS = {"get_hostname", {"server_name_or_ip"}, 1, false, {}, false};

// bool(a == b): 1, 0, or -1 on error.
int equal(PyObject *a, PyObject *b) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return result ? truth(result.get()) : -1;
}

Ref casefolded(PyObject *text) { return quarn::call_method(text, n.casefold); }

// Whether one block answers to `name`: by exact address, by membership in
// an address list, by block name or by `server` value ignoring case.
int block_matches(PyObject *name, PyObject *block_name, PyObject *block) {
    Ref server = quarn::call_method(block, n.get, n.server, n.empty);
    Ref block_server = server ? casefolded(server.get()) : Ref();
    Ref folded_block_name = block_server ? casefolded(block_name) : Ref();
    Ref server_name = folded_block_name ? casefolded(name) : Ref();
    Ref address = server_name ? quarn::call_method(block, n.get, n.address, n.empty) : Ref();
    if (!address) return -1;
    int match = equal(name, address.get());
    if (match == 0 && PyList_Check(address.get())) match = PySequence_Contains(address.get(), name);
    if (match == 0) match = equal(server_name.get(), folded_block_name.get());
    if (match == 0) match = equal(server_name.get(), block_server.get());
    return match;
}

// `for block_name, block in pair`: false with the error set otherwise.
bool unpack_pair(PyObject *pair, Ref &first, Ref &second) {
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) return false;
    first = Ref::steal(PyIter_Next(it.get()));
    second = first ? Ref::steal(PyIter_Next(it.get())) : Ref();
    Ref extra = second ? Ref::steal(PyIter_Next(it.get())) : Ref();
    if (PyErr_Occurred()) return false;
    if (!second || extra) {
        PyErr_Format(PyExc_ValueError, second ? "too many values to unpack (expected 2)"
                                              : "not enough values to unpack (expected 2)");
        return false;
    }
    return true;
}

// Scans the blocks in order: 1 with `found` set on the first match, 0 when
// none matched, -1 on error.  A block that cannot be tested (not a mapping,
// a `server` or block name that is not a string) is passed over, so a
// malformed block does not hide the blocks after it.
// What one block's test means for the scan: 1 found, 0 go on, -1 error.
int judge_block(int match, Ref &block, Ref &found) {
    if (match > 0) {
        found = std::move(block);
        return 1;
    }
    if (match < 0) {
        if (!pending_type_or_attribute_error()) return -1;
        PyErr_Clear();
    }
    return 0;
}

// An exact dict is walked with PyDict_Next, which allocates nothing (an
// items() iterator that fails to allocate crashes some interpreters); like
// that iterator, the walk refuses a dict whose size changes meanwhile.
int scan_dict_blocks(PyObject *servers, PyObject *name, Ref &found) {
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(servers);
    PyObject *key, *value;
    while (PyDict_Next(servers, &pos, &key, &value)) {
        Ref block_name = Ref::borrow(key), block = Ref::borrow(value);  // the test runs Python code
        int verdict = judge_block(block_matches(name, block_name.get(), block.get()), block, found);
        if (verdict != 0) return verdict;
        if (PyDict_GET_SIZE(servers) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
    }
    return 0;
}

int scan_blocks(PyObject *servers, PyObject *name, Ref &found) {
    if (PyDict_CheckExact(servers)) return scan_dict_blocks(servers, name, found);
    Ref items = quarn::call_method(servers, n.items);
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!it) return -1;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref block_name, block;
        int match = unpack_pair(pair.get(), block_name, block)
                        ? block_matches(name, block_name.get(), block.get())
                        : -1;
        int verdict = judge_block(match, block, found);
        if (verdict != 0) return verdict;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// self.testbed.servers: direct lookup by block name, then the scan.
// `block` holds the direct lookup's value until a scan finds better.
int find_block(PyObject *self, PyObject *name, Ref &block) {
    Ref testbed = quarn::getattr(self, n.testbed);
    Ref servers = testbed ? quarn::getattr(testbed.get(), n.servers) : Ref();
    Ref no_block = servers ? Ref::steal(PyDict_New()) : Ref();
    Ref direct = no_block ? quarn::call_method(servers.get(), n.get, name, no_block.get()) : Ref();
    if (!direct) return -1;
    block = std::move(direct);
    int found = truth(block.get());
    if (found != 0) return found;
    Ref scanned;
    found = scan_blocks(servers.get(), name, scanned);
    if (found > 0) block = std::move(scanned);
    return found;
}

Ref server_block(PyObject *self, PyObject *server_name_or_ip) {
    Ref block = Ref::steal(PyDict_New());
    if (!block) return block;
    PyObject *name = server_name_or_ip == Py_None ? n.empty : server_name_or_ip;
    int found = find_block(self, name, block);
    if (found < 0) {
        // No testbed, no `servers`, an unhashable name: nothing to be found.
        if (!pending_type_or_attribute_error()) return Ref();
        PyErr_Clear();
        found = 0;
    }
    if (!found &&
        !log_warning(format_message("Could not find details in testbed for server {}.", {name})))
        return Ref();
    return block;
}

PyObject *get_server_block(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(SERVER_BLOCK_PARAMS, args, kwargs, b)) return nullptr;
    return server_block(self, b.values[0].get()).release();
}

// self.get_server_block(server_name_or_ip=name), so an override is used.
Ref ask_server_block(PyObject *self, PyObject *name) {
    Ref method = quarn::getattr(self, n.get_server_block);
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!method || !no_args || !kwargs || PyDict_SetItem(kwargs.get(), n.server_name_or_ip, name) < 0)
        return Ref();
    return Ref::steal(PyObject_Call(method.get(), no_args.get(), kwargs.get()));
}

// Logs that `name` was not found: a warning, or debug for a None name.
bool log_not_found(const char *tmpl, PyObject *name) {
    Ref message = format_message(tmpl, {name});
    return name == Py_None ? log_debug(message) : log_warning(message);
}

// The first address of a list or tuple that the instance accepts; empty
// with no error when none is accepted.
Ref first_valid_address(PyObject *self, PyObject *addresses) {
    Ref it = Ref::steal(PyObject_GetIter(addresses));
    if (!it) return it;
    while (Ref address = Ref::steal(PyIter_Next(it.get()))) {
        Ref valid = quarn::call_method(self, n.is_valid_ip, address.get());
        int ok = valid ? truth(valid.get()) : -1;
        if (ok < 0) return Ref();
        if (ok) return address;
    }
    return Ref();
}

Ref hostname_from_block(PyObject *self, PyObject *block, PyObject *name) {
    Ref address = quarn::call_method(block, n.get, n.address, Py_None);
    int has_address = address ? truth(address.get()) : -1;
    if (has_address < 0) return Ref();
    if (has_address) {
        if (!PyTuple_CheckExact(address.get()) && !PyList_CheckExact(address.get())) return address;
        Ref valid = first_valid_address(self, address.get());
        if (valid || PyErr_Occurred()) return valid;
    }
    return quarn::call_method(block, n.get, n.server, name);
}

PyObject *get_hostname(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(HOSTNAME_PARAMS, args, kwargs, b)) return nullptr;
    PyObject *name = b.values[0].get();
    Ref block = ask_server_block(self, name);
    int found = block ? truth(block.get()) : -1;
    if (found < 0) return nullptr;
    if (found) return hostname_from_block(self, block.get(), name).release();
    if (!log_not_found("No details found in testbed for hostname {}.", name)) return nullptr;
    return Ref::borrow(name).release();
}

// The name of the credential set: the last dotted piece of the instance's
// `abstraction_key`, or DEFAULT_CRED when that is empty or absent.
Ref credential_set_name(PyObject *self) {
    Ref key = quarn::getattr(self, n.abstraction_key);
    if (!key) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return key;
        PyErr_Clear();
        key = Ref::borrow(n.empty);
    }
    Ref pieces = quarn::call_method(key.get(), n.split, n.dot);
    Ref last = Ref::steal(PyLong_FromLong(-1));
    Ref protocol = pieces && last ? Ref::steal(PyObject_GetItem(pieces.get(), last.get())) : Ref();
    int named = protocol ? truth(protocol.get()) : -1;
    if (named < 0) return Ref();
    return named ? std::move(protocol) : module_global(n.DEFAULT_CRED);
}

// block.get('username'), block.get('password')
bool credentials_stored_in_block(PyObject *block, Ref &username, Ref &password) {
    username = quarn::call_method(block, n.get, n.username);
    password = username ? quarn::call_method(block, n.get, n.password) : Ref();
    return static_cast<bool>(password);
}

// The credential set chosen for this instance; any KeyError on the way is
// left pending for the caller.
bool credentials_from_set(PyObject *self, PyObject *block, Ref &username, Ref &password) {
    Ref credentials = Ref::steal(PyObject_GetItem(block, n.credentials));
    int has_sets = credentials ? truth(credentials.get()) : -1;
    if (has_sets < 0) return false;
    if (!has_sets) return credentials_stored_in_block(block, username, password);
    Ref set_name = credential_set_name(self);
    Ref sets = set_name ? Ref::steal(PyObject_GetItem(block, n.credentials)) : Ref();
    Ref credential = sets ? Ref::steal(PyObject_GetItem(sets.get(), set_name.get())) : Ref();
    username = credential ? quarn::call_method(credential.get(), n.get, n.username) : Ref();
    Ref stored = username ? quarn::call_method(credential.get(), n.get, n.password) : Ref();
    Ref to_plaintext = stored ? module_global(n.to_plaintext) : Ref();
    password = to_plaintext ? quarn::call(to_plaintext.get(), stored.get()) : Ref();
    return static_cast<bool>(password);
}

PyObject *get_auth(PyObject *self, PyObject *args, PyObject *kwargs) {
    Bound b;
    if (!bind(AUTH_PARAMS, args, kwargs, b)) return nullptr;
    PyObject *name = b.values[0].get();
    Ref username = Ref::borrow(Py_None), password = Ref::borrow(Py_None);
    Ref block = ask_server_block(self, name);
    int found = block ? truth(block.get()) : -1;
    if (found < 0) return nullptr;
    if (found) {
        if (!credentials_from_set(self, block.get(), username, password)) {
            // No credentials, or no set of the chosen name: the block's own.
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
            PyErr_Clear();
            if (!credentials_stored_in_block(block.get(), username, password)) return nullptr;
        }
    } else if (!log_not_found("No auth details found in testbed for hostname {}.", name)) {
        return nullptr;
    }
    return PyTuple_Pack(2, username.get(), password.get());
}

}  // namespace

PyMethodDef get_server_block_def = {
    "get_server_block", as_cfunction(with_self<get_server_block>), METH_VARARGS | METH_KEYWORDS,
    "get_server_block(self, server_name_or_ip)\n--\n\n"
    " Return the required server block from the testbed if it exists.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        server_name_or_ip : `str`\n"
    "            The name or IP address of a server (None searches for the\n"
    "            empty name).\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        The server block, or an empty dict when no block matches.\n"
    "        "};

PyMethodDef get_auth_def = {
    "get_auth", as_cfunction(with_self<get_auth>), METH_VARARGS | METH_KEYWORDS,
    "get_auth(self, server_name_or_ip)\n--\n\n"
    " Get authentication details.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        server_name_or_ip : `str`\n"
    "            The name or IP address of a server.\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        A tuple (username, password); each element is None when not\n"
    "        found.\n"
    "        "};

PyMethodDef get_hostname_def = {
    "get_hostname", as_cfunction(with_self<get_hostname>), METH_VARARGS | METH_KEYWORDS,
    "get_hostname(self, server_name_or_ip)\n--\n\n"
    " Get host name or address to connect to.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        server_name_or_ip : `str`\n"
    "            The name or IP address of a server.\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        The DNS name or IP address to connect to: the server's valid\n"
    "        address or its name from the testbed, or the argument itself when\n"
    "        the testbed does not describe the server.\n"
    "        "};

}  // namespace bargeon
