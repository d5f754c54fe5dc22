// Results of the download steps, and their names in reports.
#pragma once

enum DownloadError {
    NoError = 0,
    NetworkError = 1,
    FileIOError = 2,
    FileTooSmall = 3,
    FileNotFound = 4,
    BadChecksum = 5,
    DownloadCancelled = 6,
    BadSignature = 7,        // not verified, or not signed by the publisher
    NoSignatureCheck = 8,    // the system cannot verify signatures at all
};

// "NoError" .. "NoSignatureCheck"; "UnknownError" for any other value.
const char* DownloadErrorName(int code);
