# as_igraph(): a network as an undirected igraph graph.

as_igraph <- function(net) {
  if (!requireNamespace("igraph", quietly = TRUE))
    stop("as_igraph() needs the igraph package", call. = FALSE)
  genes <- attr(net, "genes")
  if (is.null(genes)) genes <- unique(c(net$source, net$target))
  edges <- data.frame(from = net$source, to = net$target, r = net$r, p = net$p, q = net$q,
                      level = as.character(net$level), stringsAsFactors = FALSE)
  g <- igraph::graph_from_data_frame(edges, directed = FALSE,
                                     vertices = data.frame(name = genes, stringsAsFactors = FALSE))
  for (a in c("method", "order", "prune_alpha"))
    if (!is.null(attr(net, a))) g <- igraph::set_graph_attr(g, a, attr(net, a))
  g
}
