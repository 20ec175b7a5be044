#pragma once
// Placeholder until the codec library lands.
