/* Added to ld's own script for the 32-bit setup.exe: the DWARF unwind tables
   that the prebuilt zlib and C++ runtime bring are discarded. Nothing in
   setup.exe reads them: it throws nothing, has no start-up code to register
   them, and 32-bit Windows unwinds through its own structures. */
SECTIONS
{
  /DISCARD/ : { *(.eh_frame) *(.eh_frame$*) }
}
INSERT BEFORE .text;
