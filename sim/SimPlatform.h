// The simulated programmer (being built).
#pragma once
