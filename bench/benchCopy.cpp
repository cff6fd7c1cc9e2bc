// A baseline for the whole-command benchmark script: the command
//
//     benchCopy source varName
//
// copies the bytes of the byte array `source` into the value of the variable
// varName with one memcpy, in place as snapPhoto does: the variable's value
// must exist and be unshared, and is resized to the source's length. So a
// Tcl script can time a plain copy of a photo's storage through the same
// call overhead as snapPhoto, in the same run.

#include <cstring>

#include <tcl.h>

namespace {

int benchCopyCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc != 3) {
        Tcl_WrongNumArgs(interp, 1, objv, "source varName");
        return TCL_ERROR;
    }
    int length = 0;
    const unsigned char *source = Tcl_GetByteArrayFromObj(objv[1], &length);
    Tcl_Obj *value = Tcl_ObjGetVar2(interp, objv[2], nullptr, TCL_LEAVE_ERR_MSG);
    if (value == nullptr) {
        return TCL_ERROR;
    }
    if (Tcl_IsShared(value)) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("the variable's value is shared", -1));
        return TCL_ERROR;
    }
    unsigned char *bytes = Tcl_SetByteArrayLength(value, length);
    std::memcpy(bytes, source, static_cast<size_t>(length));
    return TCL_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int Benchcopy_Init(Tcl_Interp *interp)
{
    Tcl_CreateObjCommand(interp, "benchCopy", benchCopyCmd, nullptr, nullptr);
    return TCL_OK;
}
