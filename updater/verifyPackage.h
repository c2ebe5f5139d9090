// The one package check: whether an application bundle is exactly the release the update server
// described, signed by the product's team, with its extension, updater helper and extension
// payload of that same release.
#pragma once

#include <filesystem>

#include "updater/UpdateProduct.h"
#include "updater/UpdateRelease.h"

namespace bramlow {

// Checks the bundle at `at` against product and release; the first failing check decides. Raises
// UpdateFailure (signature, package, extension, helper, payload and assessment markers); a bundle
// information, manifest or launch failure passes through as the platform's error. Writes nothing.
void verifyPackage(const UpdateProduct& product, const std::filesystem::path& at,
                   const UpdateRelease& release);

}  // namespace bramlow
