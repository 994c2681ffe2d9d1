# (package marker; the commands live in the modules beside this file)
