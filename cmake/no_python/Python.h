// The game core and the runtime services stand on their own: only the module
// layer talks to the interpreter.
#error "core/ and runtime/ must not include Python.h"
