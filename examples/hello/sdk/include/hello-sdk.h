#pragma once

// Inside the build environment this header is found under /workspace/sdk.
constexpr const char *helloSdkName = "hello-sdk";
