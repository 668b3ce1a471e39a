#include "support/result_code.h"

namespace kzp {

const char* ResultName(Result code) {
    switch (code) {
        case kResultOk:
            return "ResultOk";
        case kResultCancelled:
            return "ResultCancelled";
        case kResultProgramRunning:
            return "ResultProgramRunning";
        case kErrorOpenPackage:
            return "ErrorOpenPackage";
        case kErrorReadPackage:
            return "ErrorReadPackage";
        case kErrorNotPackage:
            return "ErrorNotPackage";
        case kErrorPackageVersion:
            return "ErrorPackageVersion";
        case kErrorOldFileMissing:
            return "ErrorOldFileMissing";
        case kErrorOldFileOpen:
            return "ErrorOldFileOpen";
        case kErrorOldFileRead:
            return "ErrorOldFileRead";
        case kErrorTargetFolder:
            return "ErrorTargetFolder";
        case kErrorDigestMismatch:
            return "ErrorDigestMismatch";
        case kErrorDateSizeMismatch:
            return "ErrorDateSizeMismatch";
        case kErrorRename:
            return "ErrorRename";
        case kErrorNewFileOpen:
            return "ErrorNewFileOpen";
        case kErrorNewFileWrite:
            return "ErrorNewFileWrite";
        case kErrorDiffData:
            return "ErrorDiffData";
        case kErrorDiffVersion:
            return "ErrorDiffVersion";
        case kErrorTampered:
            return "ErrorTampered";
        case kErrorProcessList:
            return "ErrorProcessList";
        case kErrorAddExists:
            return "ErrorAddExists";
    }
    return "Unknown";
}

}  // namespace kzp
