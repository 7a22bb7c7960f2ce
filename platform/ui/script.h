// Inside the user-interface services: scripted operation of the panel
// (T483_SCRIPT), for tests and benchmarks of the whole program.
#pragma once

// With T483_SCRIPT set, has the event loop operate the panel by its steps
// once it runs.
void StartScript(void);
