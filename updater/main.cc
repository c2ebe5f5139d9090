// BramlowUpdater: the updater service, started on demand by the first connection of the
// extension's handler.
#include "updater/BramlowUpdateMain.h"

int main() { bramlow::BramlowUpdateMain::main(); }
