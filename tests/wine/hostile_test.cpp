// hostile trees: to come
