// SPDX-License-Identifier: MIT
// Anchor of the engines library; the engines live in their own units.
namespace VandrelSteps {
int Anchor()
{
    return 0;
}
} // namespace VandrelSteps
