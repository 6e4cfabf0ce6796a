// The library's content is its compiled-in resources (string table, artwork); Qt registers them when the
// library is linked into a program.
