# read_edges(): an edge table that the assocnet command wrote, read back exactly.

read_edges <- function(path) {
  # Names that hold a quote, a tab or a line end stand in quotes, a quote doubled.
  t <- utils::read.delim(path, colClasses = "character", quote = "\"", comment.char = "",
                         na.strings = character(), check.names = FALSE)
  columns <- c("source", "target", "r", "p", "q", "level")
  if (!identical(names(t), columns))
    stop(sprintf("%s: expected the columns %s, found %s", path, paste(columns, collapse = " "),
                 paste(names(t), collapse = " ")), call. = FALSE)
  for (column in c("r", "p", "q")) {
    values <- .read_numbers(t[[column]])
    bad <- which(is.na(values))
    if (length(bad))
      stop(sprintf('%s, edge %d: expected a number for %s, found "%s"', path, bad[1], column,
                   t[[column]][bad[1]]), call. = FALSE)
    t[[column]] <- values
  }
  # Levels loosest first: "0.01" before "0.001", "q0.05" before "q0.01".
  names <- unique(t$level)
  names <- names[order(-.read_numbers(sub("^q", "", names)))]
  t$level <- factor(t$level, levels = names, ordered = TRUE)
  t
}
