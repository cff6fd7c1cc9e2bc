// The snapPhoto package: its load entry and the snapPhoto command, which
// hands a Tk photo's pixels back as a byte array in the caller's layout.
//
//     snapPhoto ?-format format? ?-reverse? imageName ?varName?
//
// Failures other than a wrong word count leave the result empty and put a
// fixed message at the head of the error information.

#include <climits>
#include <cstdint>
#include <cstring>

#include <tcl.h>
#include <tk.h>

#include "pixelConversion.h"

namespace {

const char USAGE[] = "?-format format? ?-reverse? imageName ?varName?";

const char MSG_FORMAT_NEEDS_VALUE[] = "-format option needs a format string.";
const char MSG_UNKNOWN_OPTION[] = "unknown option encountered.";
const char MSG_EXTRA_ARGUMENT[] = "extra argument specified.";
const char MSG_NO_IMAGE_NAME[] = "image name not specified.";
const char MSG_NO_TK[] = "Tk is not loaded in this interpreter.";
const char MSG_NO_SUCH_PHOTO[] = "the image name does not exist.";
const char MSG_TOO_LARGE[] = "image too large for the requested format.";
const char MSG_NO_MEMORY[] = "internal memory full.";
const char MSG_VARIABLE_NOT_SET[] = "the variable could not be set.";

// The parsed words of one call. The strings are borrowed from the call's
// argument values (or are constant defaults) and live as long as the call.
struct SnapRequest {
    const char *format;
    bool reverse;
    const char *imageName;
    const char *varName;
    int positionalCount;
};

// What a call reads: the photo's pixel block as Tk reports it, the format
// decoded against that block, and the output length S.
struct PixelSource {
    Tk_PhotoImageBlock block;
    ChannelMap map;
    int size;
};

// Reports a failure: an empty result and the message at the head of the
// error information.
int fail(Tcl_Interp *interp, const char *message)
{
    Tcl_ResetResult(interp);
    Tcl_AddErrorInfo(interp, message);
    return TCL_ERROR;
}

// Walks the words after the command name. Returns nullptr or the message of
// the leftmost offending word; later words are not looked at.
const char *parseWords(int objc, Tcl_Obj *const objv[], SnapRequest *request)
{
    *request = SnapRequest{"rgb", false, "", "", 0};
    for (int i = 1; i < objc; i++) {
        const char *word = Tcl_GetString(objv[i]);
        if (std::strcmp(word, "-format") == 0) {
            if (i + 1 >= objc) {
                return MSG_FORMAT_NEEDS_VALUE;
            }
            request->format = Tcl_GetString(objv[++i]);
        } else if (std::strcmp(word, "-reverse") == 0) {
            request->reverse = true;
        } else if (word[0] == '-') {
            return MSG_UNKNOWN_OPTION;
        } else if (request->positionalCount == 0) {
            request->imageName = word;
            request->positionalCount = 1;
        } else if (request->positionalCount == 1) {
            request->varName = word;
            request->positionalCount = 2;
        } else {
            return MSG_EXTRA_ARGUMENT;
        }
    }
    return nullptr;
}

// Finds the photo, takes its pixel block, decodes the format against it and
// computes the output length. Returns nullptr, or a message with nothing
// left to release.
const char *preparePixels(Tcl_Interp *interp, const SnapRequest &request, PixelSource *source)
{
    source->map = ChannelMap{nullptr, 0};
    if (request.imageName[0] == '\0') {
        return MSG_NO_IMAGE_NAME;
    }
    // Tk's photo lookup goes through the interpreter's main window and
    // crashes without one: in a plain tclsh, or after "destroy .".
    if (Tk_MainWindow(interp) == nullptr) {
        return MSG_NO_TK;
    }
    Tk_PhotoHandle photo = Tk_FindPhoto(interp, request.imageName);
    if (photo == nullptr) {
        return MSG_NO_SUCH_PHOTO;
    }
    Tk_PhotoGetImage(photo, &source->block);

    const char *message = buildChannelMap(request.format, source->block, &source->map);
    if (message != nullptr) {
        return message;
    }
    // A byte array holds at most INT_MAX bytes; the product is taken in 64
    // bits so that it cannot wrap into a small, wrong length.
    const uint64_t size = static_cast<uint64_t>(source->block.width) *
                          static_cast<uint64_t>(source->block.height) * source->map.length;
    if (size > static_cast<uint64_t>(INT_MAX)) {
        releaseChannelMap(&source->map);
        return MSG_TOO_LARGE;
    }
    source->size = static_cast<int>(size);
    return nullptr;
}

// Tcl's byte-array calls abort the process when memory is refused. Asking
// first, with an allocation that may fail, lets the call report the refusal
// instead.
bool canAllocate(int size)
{
    char *probe = Tcl_AttemptAlloc(static_cast<unsigned int>(size));
    if (probe == nullptr) {
        return false;
    }
    Tcl_Free(probe);
    return true;
}

// Packs the pixels into a scratch buffer and makes a new byte-array value of
// them. Returns nullptr, with *value set (reference count 0), or a message.
const char *packIntoNewValue(const PixelSource &source, bool reverse, Tcl_Obj **value)
{
    if (source.size == 0) {
        *value = Tcl_NewByteArrayObj(nullptr, 0);
        return nullptr;
    }
    auto *buffer =
        reinterpret_cast<unsigned char *>(Tcl_AttemptAlloc(static_cast<unsigned int>(source.size)));
    if (buffer == nullptr) {
        return MSG_NO_MEMORY;
    }
    if (!canAllocate(source.size)) {
        Tcl_Free(reinterpret_cast<char *>(buffer));
        return MSG_NO_MEMORY;
    }
    packPixels(source.block, source.map, reverse, buffer);
    *value = Tcl_NewByteArrayObj(buffer, source.size);
    Tcl_Free(reinterpret_cast<char *>(buffer));
    return nullptr;
}

int deliverToResult(Tcl_Interp *interp, const SnapRequest &request, const PixelSource &source)
{
    Tcl_Obj *value = nullptr;
    const char *message = packIntoNewValue(source, request.reverse, &value);
    if (message != nullptr) {
        return fail(interp, message);
    }
    Tcl_SetObjResult(interp, value);
    return TCL_OK;
}

// Resizes a variable's unshared value to the output length and packs into
// its storage. The variable itself is not written, so no write trace fires.
int packInPlace(Tcl_Interp *interp, Tcl_Obj *value, const SnapRequest &request,
                const PixelSource &source)
{
    int currentLength = 0;
    Tcl_GetByteArrayFromObj(value, &currentLength);
    if (source.size > currentLength && !canAllocate(source.size)) {
        return fail(interp, MSG_NO_MEMORY);
    }
    unsigned char *bytes = Tcl_SetByteArrayLength(value, source.size);
    if (bytes == nullptr) {
        return fail(interp, MSG_NO_MEMORY);
    }
    packPixels(source.block, source.map, request.reverse, bytes);
    return TCL_OK;
}

int storeNewValue(Tcl_Interp *interp, const SnapRequest &request, const PixelSource &source)
{
    Tcl_Obj *value = nullptr;
    const char *message = packIntoNewValue(source, request.reverse, &value);
    if (message != nullptr) {
        return fail(interp, message);
    }
    // Holding a reference across the store keeps the value ours to free if
    // the store fails (a whole array, a missing namespace, a write trace
    // that raises an error).
    Tcl_IncrRefCount(value);
    Tcl_Obj *stored = Tcl_SetVar2Ex(interp, request.varName, nullptr, value, 0);
    Tcl_DecrRefCount(value);
    if (stored == nullptr) {
        return fail(interp, MSG_VARIABLE_NOT_SET);
    }
    return TCL_OK;
}

// Sends the bytes to the named variable: in place into its value when that
// value is held by the variable alone, otherwise as a new value.
int deliverToVariable(Tcl_Interp *interp, const SnapRequest &request, PixelSource *source)
{
    // Reading the variable runs its read traces, which may delete, resize
    // or repaint the photo. The block taken before is then stale, so the
    // photo is looked up and decoded again afterwards; no script runs
    // between that and the packing.
    Tcl_Obj *value = Tcl_GetVar2Ex(interp, request.varName, nullptr, 0);
    releaseChannelMap(&source->map);
    const char *message = preparePixels(interp, request, source);
    if (message != nullptr) {
        return fail(interp, message);
    }
    // A shared value may also be held by another variable, a list or a
    // literal of compiled script; resizing it would change all of them.
    if (value != nullptr && !Tcl_IsShared(value)) {
        return packInPlace(interp, value, request, *source);
    }
    return storeNewValue(interp, request, *source);
}

int snapPhotoCmd(ClientData /*clientData*/, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc <= 1) {
        Tcl_WrongNumArgs(interp, 1, objv, USAGE);
        return TCL_ERROR;
    }
    SnapRequest request;
    const char *message = parseWords(objc, objv, &request);
    if (message != nullptr) {
        return fail(interp, message);
    }
    PixelSource source;
    message = preparePixels(interp, request, &source);
    if (message != nullptr) {
        return fail(interp, message);
    }
    const int code = request.varName[0] == '\0' ? deliverToResult(interp, request, source)
                                                 : deliverToVariable(interp, request, &source);
    releaseChannelMap(&source.map);
    return code;
}

}  // namespace

// The load entry, the library's one exported symbol (the rest is hidden by
// default and by the linker's version script).
extern "C" __attribute__((visibility("default"))) int Snapphoto_Init(Tcl_Interp *interp)
{
    Tcl_CreateObjCommand(interp, "snapPhoto", snapPhotoCmd, nullptr, nullptr);
    return Tcl_PkgProvide(interp, "snapPhoto", "0.1");
}
