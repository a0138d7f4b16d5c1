#pragma once

#include <cstdint>

// Windows system error numbers, which the platform layer reports with the meaning callers
// written against the Windows calls expect.
constexpr int32_t ERROR_SUCCESS = 0;
constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
constexpr int32_t ERROR_ACCESS_DENIED = 5;
constexpr int32_t ERROR_INVALID_HANDLE = 6;
constexpr int32_t ERROR_INVALID_DATA = 13;
constexpr int32_t ERROR_OUTOFMEMORY = 14;
constexpr int32_t ERROR_GEN_FAILURE = 31;
constexpr int32_t ERROR_LOCK_VIOLATION = 33;
constexpr int32_t ERROR_INVALID_PARAMETER = 87;
constexpr int32_t ERROR_ALREADY_EXISTS = 183;
constexpr int32_t ERROR_BAD_FILE_TYPE = 222;
constexpr int32_t ERROR_FILE_TOO_LARGE = 223;
constexpr int32_t ERROR_MORE_DATA = 234;
constexpr int32_t ERROR_DIRECTORY_NOT_SUPPORTED = 336;
constexpr int32_t ERROR_BADKEY = 1010;
constexpr int32_t ERROR_REGISTRY_CORRUPT = 1015;
constexpr int32_t ERROR_REGISTRY_IO_FAILED = 1016;
constexpr int32_t ERROR_KEY_DELETED = 1018;
