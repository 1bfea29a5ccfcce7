#pragma once
// The families of docking stations. The number of a family is the one the
// USB layer knows it by: it selects the family's device interface class (and
// with it the vendor and product ids looked for on the bus). A family also
// has its own UDP ports for the dock search (the Mirtal family has none).

enum class TDockFamily : int { tpKeloExpress = 0, tpMPKeloExpress = 1, tpMirtal = 2, tpCorvaneKelo6 = 3 };
